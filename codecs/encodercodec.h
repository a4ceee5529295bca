#ifndef ENCODERCODEC_H
#define ENCODERCODEC_H

#include <QString>

// Which codec an encoder program writes, before it has written anything: what the window needs
// to propose an output name and the outputs that can hold it. Asked in turn: the program itself
// (a compiled program's `--help` names its codec: "VVCSoftware: VTM Encoder", "HM software",
// an HEVC encoder's usage line; a script is never run, as it may do anything), its file name
// (EncoderApp is the VVC reference encoder's, TAppEncoder the HEVC one's) and the keys of its
// configuration (keys only one codec's encoder knows: CTUSize, DualITree, ALF... or
// MaxPartitionDepth, QuadtreeTULog2MaxSize...). The answer is a codec's name, as Codec::name()
// gives it ("HEVC", "VVC"), or empty when nothing tells.
namespace EncoderCodec {

QString of(const QString &program, const QString &config);

// The parts, for tests: the program's help text, its file name, the configuration's keys.
QString fromHelp(const QByteArray &help);
QString fromName(const QString &program);
QString fromConfig(const QString &config);

} // namespace EncoderCodec

#endif // ENCODERCODEC_H
