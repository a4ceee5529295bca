// The SEI reader of VVC on one NAL unit (header first, escaped), held against the reader of
// SEI messages the codecs share: the same messages, up to the first that does not fit. The
// decoded picture hash among them is read as laid out: its kind, one component or three, and
// each component's bytes as the payload holds them.

#include "fuzzsupport.h"

#include "bitstream/seiwriter.h"
#include "vvc/vvcsei.h"

namespace {

using namespace FuzzSupport;

void checkHash(const QByteArray &payload)
{
    VvcSei::PictureHash hash;
    if (!VvcSei::readPictureHash(payload, &hash)) {
        FUZZ_EXPECT(!hash.valid());
        return;
    }
    static const int sizes[] = {16, 2, 4};
    FUZZ_EXPECT(hash.kind >= VvcSei::PictureHash::Md5 && hash.kind <= VvcSei::PictureHash::Checksum);
    FUZZ_EXPECT(hash.components.size() == ((uchar(payload.at(1)) & 0x80) ? 1 : 3));
    QByteArray again;
    for (const QByteArray &component : hash.components) {
        FUZZ_EXPECT(component.size() == sizes[hash.kind]);
        again += component;
    }
    FUZZ_EXPECT(uchar(payload.at(0)) == hash.kind && payload.mid(2) == again);
    hash.describe();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray nal = bytes(data, size);
    const QList<VvcSei::Message> messages = VvcSei::messages(nal.constData(), nal.size());
    const SeiWriter::Messages shared = SeiWriter::messages(nal.constData(), nal.size());
    FUZZ_EXPECT(messages.size() == shared.types.size());
    QByteArray hashPayload;
    for (qsizetype i = 0; i < messages.size(); ++i) {
        const VvcSei::Message &message = messages.at(i);
        FUZZ_EXPECT(message.type == shared.types.at(i) && message.payload == shared.payloads.at(i));
        if (message.type == VvcSei::DecodedPictureHash && hashPayload.isNull())
            hashPayload = message.payload.isNull() ? QByteArray("") : message.payload;
        checkHash(message.payload);
    }
    FUZZ_EXPECT(VvcSei::pictureHashPayload(nal.constData(), nal.size()) == hashPayload);
    return 0;
}
