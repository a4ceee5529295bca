// Speed of the container step alone. Records the times of INPUT's pictures as the job's decode
// does (not timed), then muxes BITSTREAM with INPUT's sound, subtitles and chapters into OUTPUT
// N times (default 3), keeping the best time.
//
//   mux_bench BITSTREAM INPUT OUTPUT [N]
//       prints "mux_seconds S" (best run) and "mux_pictures P" (the pictures' times recorded),
//       and the mux's summary line on standard error.

#include "decode/videodecoder.h"
#include "mux/containermuxer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

namespace {

bool recordTimes(const QString &input, PictureTimes *times)
{
    VideoDecoder *decoder = decoderCreate();
    if (!decoder || decoderOpen(decoder, QFile::encodeName(input).constData()) < 0
        || !decoderTimeBase(decoder, &times->timeBaseNum, &times->timeBaseDen)) {
        decoderDestroy(&decoder);
        return false;
    }
    FrameInfo frame;
    while (decoderNextFrame(decoder, &frame) >= 0) {
        int64_t duration = 0;
        times->times.append(decoderPictureTime(decoder, &duration));
        times->lastDuration = duration;
    }
    decoderDestroy(&decoder);
    return !times->isEmpty();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: mux_bench BITSTREAM INPUT OUTPUT [N]\n");
        return 2;
    }
    MuxRequest request;
    request.bitstream = QFileInfo(args.at(0)).absoluteFilePath();
    request.input = QFileInfo(args.at(1)).absoluteFilePath();
    request.output = QFileInfo(args.at(2)).absoluteFilePath();
    if (!recordTimes(request.input, &request.pictures)) {
        std::fprintf(stderr, "cannot decode %s\n", qPrintable(request.input));
        return 1;
    }
    request.spanStart = request.pictures.times.first();
    request.spanEnd = request.pictures.end();
    const int runs = args.size() > 3 ? qMax(1, args.at(3).toInt()) : 3;

    double best = -1;
    for (int run = 0; run < runs; ++run) {
        QElapsedTimer clock;
        clock.start();
        const MuxResult result = ContainerMuxer::mux(request);
        const double seconds = clock.nsecsElapsed() / 1e9;
        if (!result.ok) {
            std::fprintf(stderr, "%s\n", qPrintable(result.error));
            return 1;
        }
        if (run == 0)
            std::fprintf(stderr, "%s\n", qPrintable(result.summary));
        if (best < 0 || seconds < best)
            best = seconds;
    }
    std::printf("mux_seconds %.4f\n", best);
    std::printf("mux_pictures %lld\n", static_cast<long long>(request.pictures.times.size()));
    return 0;
}
