// The encoder configuration's "Key : value" reader, and what the job makes of the keys it reads:
// the keys and values it finds, written out again one a line, must read back the same; where
// segments may be cut (a positive multiple of the intra period, or a step past any input's
// length, never overflowed); how a raw input divides into pictures.

#include "fuzzsupport.h"

#include "encoderrun/seamsupport.h"
#include "feed/rawfeed.h"
#include "jobtypes/encoderconfigfile.h"

#include <limits>

namespace {

using namespace FuzzSupport;

void checkRoundTrip(const EncoderConfigFile &config)
{
    QByteArray text;
    for (const QString &key : config.keys()) {
        FUZZ_EXPECT(!key.isEmpty() && !key.contains(QLatin1Char(' ')) && !key.contains(QLatin1Char(':')));
        text += key.toUtf8() + " : " + config.value(key).toUtf8() + '\n';
    }
    EncoderConfigFile again;
    again.parse(text);
    FUZZ_EXPECT(again.keys() == config.keys());
    for (const QString &key : config.keys())
        FUZZ_EXPECT(again.value(key) == config.value(key));
}

void checkSeams(const EncoderConfigFile &config)
{
    const SeamSupport seams(QStringLiteral("/nonexistent/encoder"), config, QStringLiteral("fuzz.cfg"));
    if (!seams.exact()) {
        FUZZ_EXPECT(!seams.closedLine().isEmpty() && !seams.cutsAt(seams.cutStep()));
        return;
    }
    // A step past any input's length is one that fits an int, as the segments' plan takes it.
    const qint64 beyond = std::numeric_limits<int>::max();
    FUZZ_EXPECT(seams.intraPeriod() > 0 && seams.cutStep() > 0 && seams.cutStep() <= beyond);
    FUZZ_EXPECT(seams.cutStep() % seams.intraPeriod() == 0 || seams.cutStep() == beyond);
    FUZZ_EXPECT(seams.cutsAt(seams.cutStep()) && !seams.cutsAt(0));
}

void checkRawLayout(const EncoderConfigFile &config)
{
    const qint64 fileSize = 123456789;
    for (const auto &[width, height] : {std::pair{176, 144}, std::pair{1, 1}, std::pair{16888, 16888}}) {
        const RawFeed::Layout layout = RawFeed::layout(width, height, config, fileSize);
        if (layout.pictureBytes > 0)
            FUZZ_EXPECT(layout.pictures * layout.pictureBytes + layout.leftover == fileSize);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    EncoderConfigFile config;
    config.parse(bytes(data, size));
    FUZZ_EXPECT(config.contents() == bytes(data, size));
    checkRoundTrip(config);
    checkSeams(config);
    checkRawLayout(config);
    return 0;
}
