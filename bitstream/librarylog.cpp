#include "librarylog.h"

#include "avlibraries.h"

#include <QRegularExpression>
#include <QSet>

#include <cstdio>
#include <mutex>

extern "C" {
#include <libavutil/log.h>
}

namespace LibraryLog {

struct Scope::State
{
    Sink sink;
    QSet<QString> said;
    QByteArray pending;    // the start of a line logged in pieces
    int printPrefix = 1;
};

namespace {

thread_local Scope::State *current = nullptr;

// "[mpegts @ 0x55d0c1e2a8c0] private data stream" as "FFmpeg (mpegts): private data stream".
QString inOurWords(const QByteArray &line)
{
    static const QRegularExpression context(QStringLiteral("^\\[([^\\] @]+)(?: @ 0x[0-9a-f]+)?\\] *"));
    QString text = QString::fromUtf8(line).trimmed();
    QStringList sources;
    for (QRegularExpressionMatch match = context.match(text); match.hasMatch(); match = context.match(text)) {
        sources << match.captured(1);
        text.remove(0, match.capturedLength());
    }
    return sources.isEmpty() ? QStringLiteral("FFmpeg: %1").arg(text)
                             : QStringLiteral("FFmpeg (%1): %2").arg(sources.join(QLatin1Char('/')), text);
}

void logged(void *object, int level, const char *format, va_list arguments)
{
    Scope::State *state = current;
    if (!state || level > AV_LOG_WARNING)
        return;
    char line[1024];
    av_log_format_line2(object, level, format, arguments, line, sizeof line, &state->printPrefix);
    state->pending += line;
    if (!state->pending.endsWith('\n'))
        return;
    const QString said = inOurWords(state->pending);
    state->pending.clear();
    if (said.endsWith(QLatin1Char(':')) || state->said.contains(said))
        return;
    state->said.insert(said);
    state->sink(said);
}

} // namespace

bool isLibraryLine(const QString &line)
{
    return line.startsWith(QLatin1String("FFmpeg: ")) || line.startsWith(QLatin1String("FFmpeg ("));
}

void install()
{
    static std::once_flag once;
    std::call_once(once, [] { AvLibraries::whenLoaded([] { av_log_set_callback(logged); }); });
}

Scope::Scope(Sink sink)
    : state(new State)
    , outer(current)
{
    install();
    state->sink = std::move(sink);
    current = state;
}

Scope::~Scope()
{
    current = outer;
    delete state;
}

} // namespace LibraryLog
