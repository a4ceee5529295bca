#ifndef METADATAFILTER_H
#define METADATAFILTER_H

// The filter the rewrite sends the stream's access units through: libavcodec's hevc_metadata
// bitstream filter set to the plan's changes to the parameter sets, then the plan's SEI
// messages added to the access unit of every random-access picture.

#include "bitstream/seiwriter.h"

#include <QList>
#include <QSet>
#include <QString>

#include <memory>

extern "C" {
#include <libavcodec/bsf.h>
}

struct AVStream;
struct RewritePlan;

class MetadataFilter
{
public:
    // Sets the filter up for the stream's access units; empty, or what went wrong.
    QString open(const AVStream *stream, const RewritePlan &plan);
    // What comes out: the stream's parameters and time base after the filter.
    const AVCodecParameters *parameters() const { return filter->par_out; }
    AVRational timeBase() const { return filter->time_base_out; }
    // av_bsf_send_packet and av_bsf_receive_packet; an access unit received has the SEI
    // messages added where they belong. 0 or an AVERROR code.
    int send(AVPacket *packet);
    int receive(AVPacket *packet);

    // SEI payload types added to some random-access picture, and those the encoder had
    // written there itself, which were left as they were.
    const QSet<int> &seiAdded() const { return added; }
    const QSet<int> &seiKept() const { return kept; }

private:
    int addSei(AVPacket *packet);

    struct FilterDeleter
    {
        void operator()(AVBSFContext *filter) const { av_bsf_free(&filter); }
    };
    std::unique_ptr<AVBSFContext, FilterDeleter> filter;
    QList<SeiWriter::Message> seiMessages;
    QSet<int> added;
    QSet<int> kept;
};

#endif // METADATAFILTER_H
