#ifndef STANDIN_H
#define STANDIN_H

// The stand-in encoder of the simulated cluster (sleeping-encoder.sh beside this file) as a
// benchmark or a test sets it up and checks what it wrote: its folder with its parameter sets
// and four pictures, raw sequences of flat pictures whose first sample says which picture stands
// for each, and the slices of a stream, which tell its pictures whatever its parameter sets.
// Shared by bench/cluster_bench.cpp and tests/tst_cluster.cpp.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace StandIn {

constexpr int width = 16, height = 16;
constexpr int pictureBytes = width * height * 3 / 2;

inline QString size()
{
    return QStringLiteral("%1x%2").arg(width).arg(height);
}

// The first sample of picture `index`: the stand-in writes slice (sample % 4) for it, in a
// pattern where a picture out of place shows.
inline int firstSample(int index)
{
    return (index * 7 + index / 5) % 256;
}

// A raw 8-bit 4:2:0 sequence of flat pictures, each of its firstSample(), but for its second
// sample: 1 at every `period`th picture, where the stand-in starts an intra period and repeats
// its parameter sets, as encoders do; 0 elsewhere.
inline QByteArray rawPictures(int pictures, int period)
{
    QByteArray raw;
    raw.reserve(qsizetype(pictures) * pictureBytes);
    for (int i = 0; i < pictures; ++i) {
        QByteArray luma(width * height, char(firstSample(i)));
        luma[1] = char(i % period == 0 ? 1 : 0);
        raw += luma;
        raw += QByteArray(pictureBytes - width * height, char(128));
    }
    return raw;
}

// The NAL units of an HEVC byte stream, in order, start codes and trailing zero bytes dropped.
inline QList<QByteArray> nalUnits(const QByteArray &stream)
{
    QList<qsizetype> starts;
    for (qsizetype i = 0; i + 3 <= stream.size(); ++i)
        if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) {
            starts << i + 3;
            i += 2;
        }
    QList<QByteArray> units;
    for (qsizetype n = 0; n < starts.size(); ++n) {
        qsizetype end = n + 1 < starts.size() ? starts[n + 1] - 3 : stream.size();
        while (end > starts[n] && stream[end - 1] == 0)
            --end;
        if (end > starts[n])
            units << stream.mid(starts[n], end - starts[n]);
    }
    return units;
}

inline int nalType(const QByteArray &unit)
{
    return (uchar(unit[0]) >> 1) & 0x3f;
}

// The video coding layer NAL units (slices) of a stream: what tells its pictures apart whatever
// parameter sets it repeats.
inline QList<QByteArray> slices(const QByteArray &stream)
{
    QList<QByteArray> units;
    for (const QByteArray &unit : nalUnits(stream))
        if (nalType(unit) < 32)
            units << unit;
    return units;
}

// The stand-in encoder `script` (sleeping-encoder.sh, or the program of the same behaviour) as
// prepare() puts it in `folder`: under its own name.
inline QString encoderIn(const QString &folder, const QString &script)
{
    return folder + QLatin1Char('/') + QFileInfo(script).fileName();
}

// Sets the stand-in up in `folder`: the encoder, a configuration for it (stand-in.cfg), and what
// it writes: headers.265, the parameter sets, and slice0.265 to slice3.265, four IDR pictures
// made with libx265 from other test pictures (the same parameter sets for all four). Empty on
// success, else what failed.
inline QString prepare(const QString &folder, const QString &script)
{
    QDir().mkpath(folder);
    const QString encoder = encoderIn(folder, script);
    QFile::remove(encoder);
    if (!QFile::copy(script, encoder))
        return QStringLiteral("cannot copy %1 to %2").arg(script, folder);
    const QByteArray startCode("\0\0\0\1", 4);
    QByteArray headers;
    for (int k = 0; k < 4; ++k) {
        QProcess ffmpeg;
        ffmpeg.start(QStringLiteral("ffmpeg"),
                     {"-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                      QStringLiteral("testsrc2=size=%1:rate=25").arg(size()), "-vf",
                      QStringLiteral("select=eq(n\\,%1)").arg(k * 40), "-frames:v", "1", "-pix_fmt", "yuv420p",
                      "-c:v", "libx265", "-x265-params", "log-level=error:info=0:keyint=1", "-f", "hevc", "-"});
        if (!ffmpeg.waitForFinished(60000) || ffmpeg.exitStatus() != QProcess::NormalExit || ffmpeg.exitCode() != 0) {
            ffmpeg.kill();
            ffmpeg.waitForFinished(5000);
            return QStringLiteral("ffmpeg could not make picture %1: %2")
                .arg(k).arg(QString::fromLocal8Bit(ffmpeg.readAllStandardError()));
        }
        QByteArray parameterSets, picture;
        for (const QByteArray &unit : nalUnits(ffmpeg.readAllStandardOutput()))
            (nalType(unit) >= 32 && nalType(unit) <= 34 ? parameterSets : picture) += startCode + unit;
        if (k == 0)
            headers = parameterSets;
        if (parameterSets != headers || slices(picture).isEmpty())
            return QStringLiteral("libx265 made picture %1 with other parameter sets, or none").arg(k);
        QFile file(QStringLiteral("%1/slice%2.265").arg(folder).arg(k));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(picture) != picture.size())
            return QStringLiteral("cannot write %1").arg(file.fileName());
    }
    QFile parameterSets(folder + QStringLiteral("/headers.265"));
    if (!parameterSets.open(QIODevice::WriteOnly | QIODevice::Truncate) || parameterSets.write(headers) != headers.size())
        return QStringLiteral("cannot write %1").arg(parameterSets.fileName());
    QFile config(folder + QStringLiteral("/stand-in.cfg"));
    if (!config.open(QIODevice::WriteOnly | QIODevice::Truncate) || config.write("FrameRate : 25\n") < 0)
        return QStringLiteral("cannot write %1").arg(config.fileName());
    return QString();
}

// The slices the stand-in set up in `folder` writes for the first `pictures` of rawPictures().
inline QList<QByteArray> expectedSlices(const QString &folder, int pictures)
{
    QList<QByteArray> units[4];
    for (int k = 0; k < 4; ++k) {
        QFile file(QStringLiteral("%1/slice%2.265").arg(folder).arg(k));
        if (file.open(QIODevice::ReadOnly))
            units[k] = slices(file.readAll());
    }
    QList<QByteArray> expected;
    for (int i = 0; i < pictures; ++i)
        expected += units[firstSample(i) % 4];
    return expected;
}

} // namespace StandIn

#endif // STANDIN_H
