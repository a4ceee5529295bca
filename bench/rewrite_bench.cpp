// Speed of the output rewrite. Copies FILE to a scratch copy beside it and rewrites the copy
// N times (default 3) with a crop of eight rows, a picture rate, a sample aspect ratio, full
// range and a colour description, keeping the best time.
//
//   rewrite_bench FILE [N]
//       prints "rewrite_seconds S" (best run) and "rewrite_pictures P" (pictures in FILE),
//       so that a script can work out seconds per 1000 pictures.

#include "hevc/outputrewriter.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>

extern "C" {
#include <libavformat/avformat.h>
}

namespace {

struct StreamSize
{
    long long pictures = -1;   // access units, as libavformat's demuxer splits them
    int width = 0, height = 0; // the size shown now
};

// Reads the stream independently of the rewriter; pictures is -1 when it cannot be read.
StreamSize probe(const QString &path)
{
    StreamSize size;
    const AVInputFormat *demuxer = av_find_input_format("hevc");
    AVFormatContext *context = nullptr;
    const QByteArray url = "file:" + QFile::encodeName(QFileInfo(path).absoluteFilePath());
    int ret = avformat_open_input(&context, url.constData(), demuxer, nullptr);
    if (ret < 0)
        return size;
    std::unique_ptr<AVFormatContext, void (*)(AVFormatContext *)> input(
        context, [](AVFormatContext *c) { avformat_close_input(&c); });
    ret = avformat_find_stream_info(input.get(), nullptr);
    if (ret < 0 || input->nb_streams != 1)
        return size;
    size.width = input->streams[0]->codecpar->width;
    size.height = input->streams[0]->codecpar->height;
    std::unique_ptr<AVPacket, void (*)(AVPacket *)> packet(
        av_packet_alloc(), [](AVPacket *p) { av_packet_free(&p); });
    if (!packet)
        return size;
    long long pictures = 0;
    while ((ret = av_read_frame(input.get(), packet.get())) >= 0) {
        ++pictures;
        av_packet_unref(packet.get());
    }
    if (ret == AVERROR_EOF)
        size.pictures = pictures;
    return size;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() < 2 || arguments.size() > 3) {
        std::fprintf(stderr, "usage: rewrite_bench FILE [N]\n");
        return 1;
    }
    const QString source = arguments.at(1);
    const int runs = arguments.size() == 3 ? arguments.at(2).toInt() : 3;
    if (runs < 1) {
        std::fprintf(stderr, "N must be a positive number\n");
        return 1;
    }
    const StreamSize size = probe(source);
    if (size.pictures < 0 || size.height <= 16) {
        std::fprintf(stderr, "%s is not a readable HEVC stream\n", qPrintable(source));
        return 1;
    }

    // The scratch copy lives beside the input, so it is rewritten on the same disk.
    QTemporaryDir scratch(QFileInfo(source).absolutePath() + QStringLiteral("/rewrite_bench-XXXXXX"));
    if (!scratch.isValid()) {
        std::fprintf(stderr, "cannot make a scratch folder beside %s\n", qPrintable(source));
        return 1;
    }
    const QString copy = scratch.filePath(QStringLiteral("copy.265"));

    OutputFacts facts;
    facts.shownWidth = size.width;
    facts.shownHeight = size.height - 8;   // eight more rows cropped, as for 1080 lines
    facts.frameRateNum = 30000;
    facts.frameRateDen = 1001;
    facts.sarNum = 32;
    facts.sarDen = 27;
    facts.fullRange = true;
    facts.colourPrimaries = facts.transferCharacteristics = facts.matrixCoefficients = 1;

    double best = -1;
    for (int run = 0; run < runs; ++run) {
        QFile::remove(copy);
        if (!QFile::copy(source, copy)) {
            std::fprintf(stderr, "cannot copy %s\n", qPrintable(source));
            return 1;
        }
        QElapsedTimer timer;
        timer.start();
        const RewriteResult result = OutputRewriter::rewrite(copy, facts);
        const double seconds = timer.nsecsElapsed() / 1e9;
        if (!result.rewritten) {
            std::fprintf(stderr, "%s\n", qPrintable(result.error.isEmpty() ? result.summary : result.error));
            return 1;
        }
        if (best < 0 || seconds < best)
            best = seconds;
    }
    std::printf("rewrite_seconds %.6f\nrewrite_pictures %lld\n", best, size.pictures);
    return 0;
}
