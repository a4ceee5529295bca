#include "seamproof.h"

#include <QFile>

namespace {

Codec::Decoded decodeAlone(const Codec &codec, const Codec::Tools &tools, const SeamProof::Copy &copy)
{
    QFile file(copy.path);
    Codec::Decoded unread;
    if (!file.open(QIODevice::ReadOnly) || !file.seek(copy.start)) {
        unread.error = file.errorString();
        return unread;
    }
    const QByteArray unit = file.read(copy.end - copy.start);
    if (unit.size() != copy.end - copy.start) {
        unread.error = QStringLiteral("it changed while being read");
        return unread;
    }
    return codec.decodeAlone(copy.sets + unit, tools);
}

} // namespace

QString SeamProof::problem(const Codec &codec, const Codec::Tools &tools, const Copy &earlier, const Copy &later,
                           const std::atomic_bool *stop)
{
    // The first byte of the hash is its kind; hashes of one kind say it all.
    if (!earlier.hash.isEmpty() && !later.hash.isEmpty() && earlier.hash.at(0) == later.hash.at(0)) {
        if (earlier.hash == later.hash)
            return QString();
        return QStringLiteral("the decoded picture hashes of its two copies differ");
    }
    const Codec::Decoded first = decodeAlone(codec, tools, earlier);
    if (stop && *stop)
        return QStringLiteral("stopped");
    if (!first.error.isEmpty())
        return QStringLiteral("the earlier segment's copy does not decode on its own: %1").arg(first.error);
    const Codec::Decoded second = decodeAlone(codec, tools, later);
    if (!second.error.isEmpty())
        return QStringLiteral("the later segment's copy does not decode on its own: %1").arg(second.error);
    if (first.digest != second.digest)
        return QStringLiteral("its two copies decode to different pictures");
    return QString();
}
