// The installation: `cmake --install` of this build into a temporary prefix, then the installed
// programs and desktop files as a user and the desktop's tools meet them.

#include "support/testsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTest>

#include <memory>

namespace {

const char appId[] = "example.morlunex.Transcoder";

// The paths `--help` of the installed program reports, by label; empty when missing.
QString reportedPath(const QByteArray &help, const QString &label)
{
    const QRegularExpression line(QStringLiteral("^%1:\\s+(.+)$").arg(QRegularExpression::escape(label)),
                                  QRegularExpression::MultilineOption);
    return line.match(QString::fromLocal8Bit(help)).captured(1);
}

// A key of a desktop entry's main group.
QString desktopKey(const QString &entryPath, const QString &key)
{
    const QStringList lines = QString::fromUtf8(TestSupport::readFile(entryPath)).split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (line.startsWith(key + QLatin1Char('=')))
            return line.mid(key.size() + 1);
    }
    return QString();
}

QString canonical(const QString &path)
{
    return QFileInfo(path).canonicalFilePath();
}

} // namespace

class TstInstall : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void installed_programUsesBundledEncoderFromAnyPrefix();
    void installed_encoderEncodes_data();
    void installed_encoderEncodes();
    void installed_desktopFilesValidate();

private:
    QString installed(const QString &relative) const { return QDir(prefix).filePath(relative); }

    std::unique_ptr<TestSupport::IsolatedEnvironment> env;
    QString prefix;
};

void TstInstall::initTestCase()
{
    env = std::make_unique<TestSupport::IsolatedEnvironment>();
    // Blanks in the prefix catch unquoted paths in the install rules and the programs.
    prefix = env->filePath(QStringLiteral("install prefix"));
    const TestSupport::RunResult result = TestSupport::run(
        QStringLiteral("cmake"), {"--install", TestSupport::buildDir(), "--prefix", prefix}, 120000);
    QVERIFY2(result.finished && result.exitCode == 0, result.out + result.err);
}

void TstInstall::installed_programUsesBundledEncoderFromAnyPrefix()
{
    QStringList programs = {QStringLiteral("morlunex")};
    if (QFileInfo::exists(TestSupport::binDir() + QStringLiteral("/morlunex-cli")))
        programs << QStringLiteral("morlunex-cli");

    // Moved after installation: nothing in the tree may name the prefix it was installed in.
    const QString moved = env->filePath(QStringLiteral("moved prefix"));
    QVERIFY(QDir().rename(prefix, moved));
    auto moveBack = qScopeGuard([&] { QDir().rename(moved, prefix); });
    const QString privateFolder = canonical(moved + QStringLiteral("/lib/morlunex"));
    QVERIFY(!privateFolder.isEmpty());

    // Started by its name in bin/ from elsewhere, with empty settings.
    const QString elsewhere = env->filePath(QStringLiteral("elsewhere"));
    QVERIFY(QDir().mkpath(elsewhere));
    const TestSupport::RunResult help = TestSupport::run(
        moved + QStringLiteral("/bin/morlunex"), {QStringLiteral("--help")}, 30000, elsewhere);
    QVERIFY(help.finished);
    QCOMPARE(help.exitCode, 0);
    const QString encoder = reportedPath(help.out, QStringLiteral("Default encoder"));
    const QString config = reportedPath(help.out, QStringLiteral("Default configuration"));
    QVERIFY2(QFileInfo(encoder).isExecutable(), help.out.constData());
    QVERIFY2(QFileInfo(config).isFile(), help.out.constData());
    QCOMPARE(QFileInfo(encoder).absolutePath(), privateFolder);
    QCOMPARE(QFileInfo(config).absolutePath(), privateFolder);
    QCOMPARE(canonical(encoder), privateFolder + QStringLiteral("/morlunex-hevc-encoder"));

    // The programs in bin/ are the ones in the private folder, and none of the installed
    // binaries looks for libraries in the build tree.
    for (const QString &program : programs) {
        QCOMPARE(canonical(moved + QStringLiteral("/bin/") + program), privateFolder + QLatin1Char('/') + program);
        const TestSupport::RunResult dynamic = TestSupport::run(
            QStringLiteral("readelf"), {QStringLiteral("-d"), privateFolder + QLatin1Char('/') + program});
        QCOMPARE(dynamic.exitCode, 0);
        QVERIFY2(!dynamic.out.contains(QFile::encodeName(TestSupport::buildDir())), dynamic.out.constData());
    }
    if (programs.contains(QStringLiteral("morlunex-cli"))) {
        const TestSupport::RunResult cli = TestSupport::run(
            moved + QStringLiteral("/bin/morlunex-cli"), {QStringLiteral("--help")}, 30000, elsewhere);
        QVERIFY(cli.finished);
        QCOMPARE(cli.exitCode, 0);
    }
}

// The installed encoder, under the window's default name and with each installed configuration,
// turns pictures made by the ffmpeg tool in the layout the configuration names into an HEVC
// stream of that format.
void TstInstall::installed_encoderEncodes_data()
{
    QTest::addColumn<QString>("config");
    QTest::addColumn<QString>("pixelFormat");
    QTest::newRow("default") << "hevczent.cfg" << "yuv420p";
    QTest::newRow("Main 10") << "hevczent10.cfg" << "yuv420p10le";
    QTest::newRow("4:4:4 10-bit") << "hevczent10_444.cfg" << "yuv444p10le";
}

void TstInstall::installed_encoderEncodes()
{
    QFETCH(QString, config);
    QFETCH(QString, pixelFormat);
    const QString raw = env->filePath(QStringLiteral("pictures_64x64.yuv"));
    QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x64:rate=25", "-frames:v", "3",
                                 "-pix_fmt", pixelFormat, "-f", "rawvideo", raw}));
    const QString stream = env->filePath(QStringLiteral("out.265"));
    const TestSupport::RunResult result = TestSupport::run(
        installed(QStringLiteral("lib/morlunex/TAppEncoder_hm80.exe")),
        {"-c", installed(QStringLiteral("lib/morlunex/") + config), "-i", raw, "-b", stream,
         "-wdt", "64", "-hgt", "64"},
        120000, env->path());
    QVERIFY2(result.finished && result.exitCode == 0, result.out + result.err);

    const TestSupport::ProbeResult probe = TestSupport::probeVideo(stream);
    QCOMPARE(probe.codec, QStringLiteral("hevc"));
    QCOMPARE(probe.frames, 3);
    QCOMPARE(probe.width, 64);
    QCOMPARE(probe.height, 64);
    const TestSupport::RunResult format = TestSupport::run(
        QStringLiteral("ffprobe"), {"-v", "error", "-show_entries", "stream=pix_fmt", "-of", "csv=p=0", stream});
    QCOMPARE(QString::fromLatin1(format.out.trimmed()), pixelFormat);
}

void TstInstall::installed_desktopFilesValidate()
{
    const QString desktopValidator = QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
    const QString appstream = QStandardPaths::findExecutable(QStringLiteral("appstreamcli"));
    if (desktopValidator.isEmpty() || appstream.isEmpty())
        QSKIP("desktop-file-validate or appstreamcli is not installed (packages desktop-file-utils, appstream)");

    const QString entry = installed(QStringLiteral("share/applications/%1.desktop").arg(QLatin1String(appId)));
    TestSupport::RunResult result = TestSupport::run(desktopValidator, {entry});
    QVERIFY2(result.finished && result.exitCode == 0, result.out + result.err);
    QVERIFY2(!result.out.contains("error") && !result.out.contains("warning"), result.out.constData());

    // The metainfo, and that its launchable names the installed desktop entry.
    result = TestSupport::run(appstream, {QStringLiteral("validate-tree"), QStringLiteral("--no-net"), prefix});
    QVERIFY2(result.finished && result.exitCode == 0, result.out + result.err);

    // What the validators leave out: the entry's program and icon are installed, the icon at
    // the size its folder claims.
    const QString program = desktopKey(entry, QStringLiteral("Exec")).section(QLatin1Char(' '), 0, 0);
    QVERIFY2(QFileInfo(installed(QStringLiteral("bin/") + program)).isExecutable(), qPrintable(program));
    const QString icon = desktopKey(entry, QStringLiteral("Icon"));
    QCOMPARE(icon, QLatin1String(appId));
    for (const int size : {16, 24, 32, 48, 64, 128, 256}) {
        const QString path = installed(QStringLiteral("share/icons/hicolor/%1x%1/apps/%2.png").arg(size).arg(icon));
        const QImage image(path);
        QVERIFY2(!image.isNull(), qPrintable(path));
        QCOMPARE(image.size(), QSize(size, size));
        QVERIFY(image.hasAlphaChannel());
    }
    QVERIFY(QFileInfo(installed(QStringLiteral("share/icons/hicolor/scalable/apps/%1.svg").arg(icon))).isFile());
}

QTEST_GUILESS_MAIN(TstInstall)

#include "tst_install.moc"
