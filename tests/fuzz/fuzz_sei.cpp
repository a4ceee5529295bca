// The SEI reader on one NAL unit (header first, escaped): the messages it finds in a unit it
// calls whole must come back the same from the unit the SEI writer makes of them. And the
// escaping both rely on: escaped bytes hold no start code, unescape to what they were, and end
// in a zero byte only where no escaping can keep it.

#include "fuzzsupport.h"

#include "bitstream/rbsp.h"
#include "bitstream/seiwriter.h"
#include "hevc/hevcbytestream.h"

namespace {

using namespace FuzzSupport;

void checkEscaping(const QByteArray &rbsp)
{
    for (const bool atEnd : {false, true}) {
        const QByteArray escaped = Rbsp::escape(rbsp, atEnd);
        FUZZ_EXPECT(Rbsp::unescape(escaped.constData(), escaped.size()) == rbsp);
        for (qsizetype i = 0; i + 2 < escaped.size(); ++i)
            FUZZ_EXPECT(!(escaped.at(i) == 0 && escaped.at(i + 1) == 0 && uchar(escaped.at(i + 2)) <= 2));
        // At the end, zero bytes in pairs are kept by a 03 after them; an odd one cannot be.
        qsizetype zeros = 0;
        while (zeros < rbsp.size() && rbsp.at(rbsp.size() - 1 - zeros) == 0)
            ++zeros;
        FUZZ_EXPECT(!atEnd || escaped.endsWith('\0') == (zeros % 2 == 1));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray nal = bytes(data, size);
    checkEscaping(nal);
    const SeiWriter::Messages found = SeiWriter::messages(nal.constData(), nal.size());
    FUZZ_EXPECT(found.types.size() == found.payloads.size());
    FUZZ_EXPECT(SeiWriter::payloadTypes(nal.constData(), nal.size()) == found.types);
    if (!found.whole)
        return 0;
    QList<SeiWriter::Message> messages;
    for (qsizetype i = 0; i < found.types.size(); ++i) {
        FUZZ_EXPECT(found.types.at(i) >= 0);
        messages << SeiWriter::Message(found.types.at(i), found.payloads.at(i));
    }
    const QByteArray written = HevcByteStream::prefixSeiUnit(messages);
    const SeiWriter::Messages again = SeiWriter::messages(written.constData(), written.size());
    FUZZ_EXPECT(again.whole && again.types == found.types && again.payloads == found.payloads);
    return 0;
}
