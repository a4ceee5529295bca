#include "avfilterlibrary.h"

#include <dlfcn.h>

namespace AvFilterLibrary {

namespace {

// The library of the major version the headers describe: its calls are the ones compiled against.
#define MORLUNEX_SONAME(major) "libavfilter.so." #major
#define MORLUNEX_SONAME_OF(major) MORLUNEX_SONAME(major)
constexpr const char *kLibrary = MORLUNEX_SONAME_OF(LIBAVFILTER_VERSION_MAJOR);

struct Loaded
{
    Calls calls{};
    QString problem;
    bool ok = false;
};

template <typename Call>
bool resolve(void *library, const char *name, Call *call, QString *problem)
{
    *call = reinterpret_cast<Call>(dlsym(library, name));
    if (!*call && problem->isEmpty())
        *problem = QStringLiteral("%1 has no %2").arg(QLatin1String(kLibrary), QLatin1String(name));
    return *call != nullptr;
}

Loaded load()
{
    Loaded loaded;
    // Never unloaded: the graphs it made may outlive anything that would unload it.
    void *library = dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char *why = dlerror();
        loaded.problem = QStringLiteral("cannot load %1: %2").arg(QLatin1String(kLibrary),
                                                                 QString::fromLocal8Bit(why ? why : "unknown"));
        return loaded;
    }
    Calls &c = loaded.calls;
    QString *p = &loaded.problem;
    bool all = resolve(library, "avfilter_get_by_name", &c.get_by_name, p);
    all = resolve(library, "avfilter_graph_alloc", &c.graph_alloc, p) && all;
    all = resolve(library, "avfilter_graph_free", &c.graph_free, p) && all;
    all = resolve(library, "avfilter_graph_create_filter", &c.graph_create_filter, p) && all;
    all = resolve(library, "avfilter_graph_parse_ptr", &c.graph_parse_ptr, p) && all;
    all = resolve(library, "avfilter_graph_config", &c.graph_config, p) && all;
    all = resolve(library, "avfilter_link", &c.link, p) && all;
    all = resolve(library, "avfilter_inout_alloc", &c.inout_alloc, p) && all;
    all = resolve(library, "avfilter_inout_free", &c.inout_free, p) && all;
    all = resolve(library, "av_buffersrc_add_frame", &c.buffersrc_add_frame, p) && all;
    all = resolve(library, "av_buffersink_get_frame", &c.buffersink_get_frame, p) && all;
    all = resolve(library, "av_buffersink_set_frame_size", &c.buffersink_set_frame_size, p) && all;
    loaded.ok = all;
    return loaded;
}

} // namespace

const Calls *calls(QString *problem)
{
    static const Loaded loaded = load();
    if (!loaded.ok && problem)
        *problem = loaded.problem;
    return loaded.ok ? &loaded.calls : nullptr;
}

void freeGraph(AVFilterGraph **graph)
{
    if (*graph)
        calls()->graph_free(graph);
}

void freeInOut(AVFilterInOut **list)
{
    if (*list)
        calls()->inout_free(list);
}

} // namespace AvFilterLibrary
