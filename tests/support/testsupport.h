#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

#include <QByteArray>
#include <QProcessEnvironment>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <sys/resource.h>

class QWidget;

namespace TestSupport {

// A fresh folder for one test: the settings store (QSettings and XDG_CONFIG_HOME) and the
// temporary directory (TMPDIR) point inside it while the object lives, so no test touches
// the user's real settings or leaves files behind.
class IsolatedEnvironment
{
public:
    explicit IsolatedEnvironment(const QString &tempName = QStringLiteral("tmp"));
    ~IsolatedEnvironment();

    bool isValid() const { return root.isValid(); }
    QString path() const { return root.path(); }
    QString tempPath() const;
    QString configPath() const;
    QString filePath(const QString &name) const { return root.filePath(name); }

private:
    QTemporaryDir root;
    QByteArray savedTmpDir;
    QByteArray savedConfigHome;
    QString tempFolderName;
};

struct RunResult
{
    bool finished = false;  // ended on its own within the time limit
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// Runs a program to its end (killed after timeoutMs), in this process's environment unless
// another is given.
RunResult run(const QString &program, const QStringList &arguments, int timeoutMs = 120000,
              const QString &workingDirectory = QString(),
              const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment());

// Runs the ffmpeg tool quietly with these arguments, overwriting outputs.
bool ffmpeg(const QStringList &arguments, int timeoutMs = 120000);

// Writes a small but real HEVC elementary stream (two 16x16 pictures) to path, for scripted
// encoders that must leave a bitstream behind when they exit 0.
bool writeTinyStream(const QString &path);

// Number of video pictures and picture size of a file, read with ffprobe; -1 on failure.
struct ProbeResult { int frames = -1; int width = -1; int height = -1; QString codec; };
ProbeResult probeVideo(const QString &path);

// Every file and folder below a folder, hidden ones included, by its path inside it, sorted.
QStringList everythingIn(const QString &folder);

// Whole-file helpers; writeFile creates the parent folders, writeScript also makes the file
// executable.
QByteArray readFile(const QString &path);
bool writeFile(const QString &path, const QByteArray &bytes);
bool writeScript(const QString &path, const QByteArray &text);

// Luma PSNR of a bitstream against its source, over the source's picture area (an odd size
// without its last row and column, which 4:2:0 cannot crop); "rawvideo:WxH:path" names a
// headerless 4:2:0 source. -1 on failure.
double lumaPsnr(const QString &bitstream, const QString &source, int width, int height);

// Whether a process with this number still runs (a zombie counts as gone), and the running
// processes whose command line mentions the text.
bool processAlive(qint64 pid);
QList<qint64> processesMentioning(const QString &text);

// The application's settings store, as the window opens it.
QSettings settingsStore();

// Lays the ffmpeg tool's raw planar pictures out as the encoder's file wants them: rows
// padded with zeros to a multiple of 16, chroma (subsampled by dx, dy) cut to the picture
// size divided by the subsampling (the tool keeps the last, half-covered chroma column and
// row of odd sizes; the file does not). Samples take sampleBytes bytes; without chroma, only
// the luma of the tool's pictures is kept (4:0:0).
QByteArray padFrames(const QByteArray &raw, int width, int height, int dx, int dy,
                     int sampleBytes = 1, bool chroma = true);

// What ffprobe says of the first video frame of a file, its side data included, as key=value
// lines such as "color_transfer=smpte2084" or "red_x=34000/50000".
QStringList firstFrame(const QString &path);

// The random-access pictures of an HEVC byte stream, and how many mastering display colour
// volume and content light level SEI messages the prefix SEI NAL units of their access units
// hold (each message counted, so a repeated one shows).
struct HdrSeiCount { int irapPictures = 0; int masteringDisplay = 0; int lightLevel = 0; };
HdrSeiCount countHdrSei(const QByteArray &stream);

// Limits the size of files this process (and the children it starts) may write, for
// disk-full tests; a write past the limit fails with EFBIG instead of raising SIGXFSZ.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

private:
    rlimit saved;
    void (*previousHandler)(int);
};

// A program of the HEVC reference encoder's build (TAppEncoder, TAppDecoder): from the folder
// MORLUNEX_REFERENCE_BIN names, else ../shared/testdata/reference-encoder/bin beside the
// sources; empty when it is not there, and the test should then skip with a message.
QString referenceTool(const QString &name);

// The reference decoder's check of the picture hashes an encoder wrote into a stream (its
// decoded-picture-hash SEI): the pictures it decoded, how many hashes matched and how many
// did not, and its last lines for a message.
struct HashCheck { int pictures = 0; int matched = 0; int mismatched = 0; QString tail; };
HashCheck referenceHashCheck(const QString &bitstream);

QString binDir();
QString buildDir();

// Saves a picture of the widget under build/screenshots/ for a person to look at.
QString saveScreenshot(QWidget *widget, const QString &name);

} // namespace TestSupport

#endif // TESTSUPPORT_H
