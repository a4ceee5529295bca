#ifndef VVCCODEC_H
#define VVCCODEC_H

#include "bitstream/codec.h"

// VVC's answers to what the program asks of a stream: NAL unit headers and types
// (VvcNalUnit), the parameter sets (VvcParameterSets), the index of a stream (VvcStreamIndex),
// and the decoding by the reference decoder program (VvcDecoderRun), since FFmpeg here reads no
// VVC. It has no output rewrite and no FFmpeg name: a VVC stream goes out as a raw stream only.
class VvcCodec : public Codec
{
public:
    static const VvcCodec &instance();

    QString name() const override;
    int headerBytes() const override { return 2; }
    NalHeader header(const char *nal) const override;
    Kind kind(int type) const override;
    bool isIrap(int type) const override;
    bool isIdr(int type) const override;
    bool recognises(const char *nal, qsizetype size) const override;
    bool startsAccessUnit(int type) const override;
    std::optional<bool> startsPicture(const char *nal, qsizetype size) const override;
    QStringList missingOpeningSets(const QList<Kind> &seen) const override;

    bool readFormat(const char *nal, qsizetype size, SequenceFormat *format) const override;
    bool pictureHash(const char *nal, qsizetype size, QByteArray *payload = nullptr) const override;

    StreamIndex index(const QString &path, const std::atomic_bool *stop = nullptr) const override;
    std::unique_ptr<OutputOrder> outputOrder() const override;
    bool closingEdit(const QByteArray &slice, qint64 offset, FileEdit *edit) const override;

    Decoded decodeAlone(const QByteArray &units, const Tools &tools) const override;
    PictureCheck checkPictures(const QString &path, const Tools &tools,
                               const std::atomic_bool *stop = nullptr) const override;

    bool rewritesOutput() const override { return false; }
    RewriteResult rewriteOutput(const QString &path, const OutputFacts &facts) const override;
    QByteArray libavName() const override { return QByteArray(); }
};

#endif // VVCCODEC_H
