#include "streammetadata.h"

#include "containerformat.h"

#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avstring.h>
#include <libavutil/dict.h>
}

namespace {

// Keys of the input's metadata that describe the input's own file or coding, which the output
// does not share: the tool that wrote it, the brands of its container, statistics of its tracks,
// and the start of its timecode track, which is left out with the other data streams (the MP4
// and QuickTime muxers would make a timecode track of it again).
bool keepsMetadata(const char *key)
{
    static const char *const dropped[] = {"encoder", "major_brand", "minor_version",
                                          "compatible_brands", "duration", "bps",
                                          "number_of_frames", "number_of_bytes", "timecode"};
    for (const char *name : dropped)
        if (av_strcasecmp(key, name) == 0)
            return false;
    return av_strncasecmp(key, "_statistics_", 12) != 0;
}

// QuickTime files label a track's language with the old Macintosh codes, which FFmpeg knows
// by the bibliographic ISO 639-2 names; the terminology names of the same languages would be
// lost as "undetermined".
void useQuickTimeLanguage(AVDictionary **metadata)
{
    static const char *const names[][2] = {
        {"deu", "ger"}, {"nld", "dut"}, {"ell", "gre"}, {"isl", "ice"}, {"zho", "chi"}, {"sqi", "alb"},
        {"mkd", "mac"}, {"hye", "arm"}, {"kat", "geo"}, {"bod", "tib"}, {"mya", "bur"}, {"msa", "may"},
        {"cym", "wel"}, {"eus", "baq"}, {"swe", "sve"},
    };
    const AVDictionaryEntry *entry = av_dict_get(*metadata, "language", nullptr, 0);
    if (!entry)
        return;
    for (const auto &name : names) {
        if (av_strcasecmp(entry->value, name[0]) == 0) {
            av_dict_set(metadata, "language", name[1], 0);
            return;
        }
    }
}

} // namespace

void StreamMetadata::copy(AVDictionary **to, const AVDictionary *from)
{
    const AVDictionaryEntry *entry = nullptr;
    while ((entry = av_dict_get(from, "", entry, AV_DICT_IGNORE_SUFFIX)))
        if (keepsMetadata(entry->key))
            av_dict_set(to, entry->key, entry->value, 0);
}

void StreamMetadata::copyToTrack(AVDictionary **to, const AVDictionary *from, const ContainerFormat &format)
{
    copy(to, from);
    if (!format.isIsoMedia())
        return;
    // MP4 and QuickTime keep a track's title as the name of its handler, where players show it.
    const AVDictionaryEntry *title = av_dict_get(*to, "title", nullptr, 0);
    if (title)
        av_dict_set(to, "handler_name", title->value, 0);
    if (format.kind() == ContainerFormat::QuickTime)
        useQuickTimeLanguage(to);
}

void StreamMetadata::copyDisplayMatrix(const AVStream *from, AVStream *to)
{
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(60, 29, 100)
    const AVPacketSideData *data = av_packet_side_data_get(from->codecpar->coded_side_data,
                                                           from->codecpar->nb_coded_side_data,
                                                           AV_PKT_DATA_DISPLAYMATRIX);
    if (!data)
        return;
    AVPacketSideData *copy = av_packet_side_data_new(&to->codecpar->coded_side_data,
                                                     &to->codecpar->nb_coded_side_data,
                                                     AV_PKT_DATA_DISPLAYMATRIX, data->size, 0);
    if (copy)
        std::memcpy(copy->data, data->data, data->size);
#else
    size_t size = 0;
    const uint8_t *matrix = av_stream_get_side_data(from, AV_PKT_DATA_DISPLAYMATRIX, &size);
    if (!matrix || size == 0)
        return;
    uint8_t *copy = av_stream_new_side_data(to, AV_PKT_DATA_DISPLAYMATRIX, size);
    if (copy)
        std::memcpy(copy, matrix, size);
#endif
}
