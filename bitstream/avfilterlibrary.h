#ifndef AVFILTERLIBRARY_H
#define AVFILTERLIBRARY_H

// FFmpeg's filter library, loaded the first time a filter graph is built rather than as the
// program starts. It brings some thirty libraries of its own, whose loading was a fifth of every
// start; a run whose input needs no decoding (a raw file, a segment of a shared job, a cell of
// an experiment) never uses them.

#include <QString>

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
}

namespace AvFilterLibrary {

// The calls the program makes, under their own names.
struct Calls
{
    decltype(&avfilter_get_by_name) get_by_name;
    decltype(&avfilter_graph_alloc) graph_alloc;
    decltype(&avfilter_graph_free) graph_free;
    decltype(&avfilter_graph_create_filter) graph_create_filter;
    decltype(&avfilter_graph_parse_ptr) graph_parse_ptr;
    decltype(&avfilter_graph_config) graph_config;
    decltype(&avfilter_link) link;
    decltype(&avfilter_inout_alloc) inout_alloc;
    decltype(&avfilter_inout_free) inout_free;
    decltype(&av_buffersrc_add_frame) buffersrc_add_frame;
    decltype(&av_buffersink_get_frame) buffersink_get_frame;
    decltype(&av_buffersink_set_frame_size) buffersink_set_frame_size;
};

// The library's calls, loaded by the first call from any thread; nullptr where it cannot be
// loaded, with *problem saying why.
const Calls *calls(QString *problem = nullptr);

// For the owners of what it made: the library is loaded wherever a graph or an in-out list exists.
void freeGraph(AVFilterGraph **graph);
void freeInOut(AVFilterInOut **list);

} // namespace AvFilterLibrary

#endif // AVFILTERLIBRARY_H
