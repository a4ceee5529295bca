#include "henq.h"

#include "about/zentlabel.h"
#include "bitstream/codec.h"
#include "codecs/codecs.h"
#include "files/settingsstore.h"
#include "job/inputnaming.h"
#include "jobtypes/joboutput.h"
#include "mux/containerformat.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTextBrowser>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

namespace {

QPushButton *iconButton(const QString &iconPath, QWidget *parent)
{
    auto *button = new QPushButton(QString(), parent);
    button->setIcon(QIcon(iconPath));
    return button;
}

} // namespace

HenQ::HenQ(QWidget *parent)
    : MainWindowBase(QLatin1String(SettingsStore::application), parent, Qt::WindowFlags())
    , logView(nullptr)
    , inputEdit(nullptr)
    , cfgEdit(nullptr)
    , outputEdit(nullptr)
    , encoderEdit(nullptr)
    , encodeButton(nullptr)
    , encodersBox(nullptr)
    , progressBar(nullptr)
    , progressLabel(nullptr)
    , reportButton(nullptr)
    , job(nullptr)
    , prevWidth(0)
    , prevHeight(0)
    , rawFrame()
    , rawFps(0)
    , droppedLogLines(0)
{
    setWindowTitle(appName);
    setFixedSize(450, 300);

    auto *central = new QWidget(this);
    auto *mainLayout = new QVBoxLayout(central);

    auto *topRow = new QHBoxLayout;
    encodeButton = iconButton(QStringLiteral(":/images/go.png"), central);
    encodeButton->setStyleSheet(QStringLiteral("QPushButton { background-color: white}"));
    encodeButton->setIconSize(QSize(50, 50));
    encodeButton->setMinimumSize(50, 50);
    encodeButton->setEnabled(false);
    connect(encodeButton, SIGNAL(clicked()), this, SLOT(onEncode()));
    topRow->addWidget(encodeButton, 0);

    auto *grid = new QGridLayout;
    inputEdit = new QLineEdit(central);
    cfgEdit = new QLineEdit(QLatin1String(SettingsStore::defaultConfig), central);
    encoderEdit = new QLineEdit(QLatin1String(SettingsStore::defaultEncoder), central);
    outputEdit = new QLineEdit(QStringLiteral("hm.265"), central);

    const QString openIcon = QStringLiteral(":/images/open.png");
    QPushButton *inputButton = iconButton(openIcon, central);
    QPushButton *cfgButton = iconButton(openIcon, central);
    QPushButton *cfgSettingsButton = iconButton(QStringLiteral(":/images/settings.png"), central);
    QPushButton *encoderButton = iconButton(openIcon, central);
    QPushButton *outputButton = iconButton(openIcon, central);

    grid->addWidget(new QLabel(QStringLiteral("Input File:"), central), 0, 0);
    grid->addWidget(inputEdit, 0, 1);
    grid->addWidget(inputButton, 0, 2);
    grid->addWidget(new QLabel(QStringLiteral("Cfg File:"), central), 1, 0);
    grid->addWidget(cfgEdit, 1, 1);
    grid->addWidget(cfgButton, 1, 2);
    grid->addWidget(cfgSettingsButton, 1, 3);
    grid->addWidget(new QLabel(QStringLiteral("Encoder:"), central), 2, 0);
    grid->addWidget(encoderEdit, 2, 1);
    grid->addWidget(encoderButton, 2, 2);
    // Beside the encoder: how many of it run at once, each on a segment of its own.
    encodersBox = new QSpinBox(central);
    encodersBox->setRange(1, 64);
    encodersBox->setToolTip(tr("Encoders at once: each encodes its own segment of the input; finished "
                               "segments are kept, so a stopped job goes on where it stopped"));
    encodersBox->setAccessibleName(tr("Encoders at once"));
    grid->addWidget(encodersBox, 2, 3);
    grid->addWidget(new QLabel(QStringLiteral("Output File:"), central), 3, 0);
    grid->addWidget(outputEdit, 3, 1);
    grid->addWidget(outputButton, 3, 2);
    topRow->addLayout(grid, 0);

    connect(inputButton, SIGNAL(clicked()), this, SLOT(onFileOpen()));
    connect(cfgButton, SIGNAL(clicked()), this, SLOT(onCfgOpen()));
    connect(encoderButton, SIGNAL(clicked()), this, SLOT(onSelectEncoder()));
    connect(cfgSettingsButton, SIGNAL(clicked()), this, SLOT(onCfgSettings()));
    connect(outputButton, SIGNAL(clicked()), this, SLOT(onOutputOpen()));

    mainLayout->addLayout(topRow, 0);

    auto *separator = new QFrame(central);
    separator->setFrameShape(QFrame::HLine);
    separator->setFrameShadow(QFrame::Sunken);
    mainLayout->addWidget(separator, 0);
    // The job's progress sits beside the log's caption, visible without scrolling.
    auto *captionRow = new QHBoxLayout;
    captionRow->addWidget(new QLabel(QStringLiteral("Encoder Logs:"), central), 0);
    progressBar = new QProgressBar(central);
    progressBar->setTextVisible(false);
    progressBar->setMaximumHeight(12);
    progressBar->hide();
    captionRow->addWidget(progressBar, 1);
    progressLabel = new QLabel(central);
    captionRow->addWidget(progressLabel, 0);
    reportButton = new QToolButton(central);
    reportButton->setText(tr("Report"));
    reportButton->setToolTip(tr("Bits and PSNR of every picture of the last encode"));
    // The row keeps the control's height from the start, so that the log pane does not shrink
    // (and hide its last line) when the control appears.
    reportButton->setFixedHeight(20);
    progressLabel->setMinimumHeight(reportButton->height());
    reportButton->hide();
    connect(reportButton, &QToolButton::clicked, this, &HenQ::showReport);
    captionRow->addWidget(reportButton, 0);
    mainLayout->addLayout(captionRow, 0);

    logView = new QTextBrowser(central);
    mainLayout->addWidget(logView, 0);

    auto *noticeRow = new QHBoxLayout;
    auto *logo = new QLabel(central);
    logo->setPixmap(QPixmap(QStringLiteral(":/images/quorvanta.png"))
                        .scaled(50, 50, Qt::IgnoreAspectRatio, Qt::FastTransformation));
    noticeRow->addWidget(logo, 2);
    auto *notice = new ZentLabel(central);
    // Short lines: the notice is as wide as its longest line with the markup counted.
    notice->setContents(tr("<b>Copyright (C) 2026 Tarvolen Inc.</b><br>\n"
                           "<a href=\"https://morlunex.example\">morlunex.example</a><br>\n"
                           "<a href=\"mailto:info@tarvolen.example\">info@tarvolen.example</a>"),
                        QByteArray(), true);
    noticeRow->addWidget(notice, 0);
    noticeRow->addWidget(new QLabel(QString(35, QLatin1Char(' ')), central), 0);
    mainLayout->addLayout(noticeRow, 0);

    const SettingsStore settings;
    prevWidth = settings.value(SettingsStore::rawWidth).toInt();
    prevHeight = settings.value(SettingsStore::rawHeight).toInt();
    recentDir = settings.value(SettingsStore::recentFolder).toString();
    const QString cfgFile = settings.value(SettingsStore::configFile).toString();
    if (!cfgFile.isEmpty())
        cfgEdit->setText(cfgFile);
    const QString encoder = settings.value(SettingsStore::encoderProgram).toString();
    if (!encoder.isEmpty())
        encoderEdit->setText(encoder);
    encodersBox->setValue(settings.value(SettingsStore::parallelEncoders, 1).toInt());
    followEncoderCodec();
    connect(encoderEdit, &QLineEdit::textChanged, this, &HenQ::followEncoderCodec);
    connect(cfgEdit, &QLineEdit::textChanged, this, &HenQ::followEncoderCodec);
    connect(encodersBox, &QSpinBox::valueChanged, this,
            [this](int value) { storeSetting(QLatin1String(SettingsStore::parallelEncoders), value); });

    setCentralWidget(central);
    // A file dropped anywhere on the window becomes the input, the fields included, which
    // would otherwise paste its name as text.
    setAcceptDrops(true);
    for (QLineEdit *field : {inputEdit, cfgEdit, encoderEdit, outputEdit})
        field->setAcceptDrops(false);

    job = new TranscodeJob(this);
    connect(job, &TranscodeJob::commandLineReady, this, &HenQ::showCommandLine);
    connect(job, &TranscodeJob::progressChanged, this, &HenQ::showProgress);
    connect(job, &TranscodeJob::encoderOutput, this, &HenQ::updateLog);
    connect(job, &TranscodeJob::message, this, &HenQ::appendLogLine);
    connect(job, &TranscodeJob::warning, this, [this](const QString &title, const QString &text) {
        QMessageBox::warning(this, title, text, QMessageBox::Ok);
    });
    connect(job, &TranscodeJob::finished, this, &HenQ::jobFinished);
}

HenQ::~HenQ()
{
    // No encoder and no temporary file outlive the window, however the program ends.
    job->disconnect(this);
    job->abort();
}

void HenQ::storeSetting(const QString &key, const QVariant &value) const
{
    SettingsStore().setValue(key, value);
}

QString HenQ::pickFile(const QString &startDir, const QString &filter)
{
    return QFileDialog::getOpenFileName(this, tr("Open file"), startDir, filter);
}

QString HenQ::proposeOutputPath(const QString &inputPath)
{
    return InputNaming::proposeOutputPath(inputPath);
}

bool HenQ::fileOpenImp(QString &path, bool)
{
    inputEdit->setText(path);
    recentDir = QFileInfo(path).absolutePath();
    storeSetting(QLatin1String(SettingsStore::recentFolder), recentDir);
    outputEdit->setText(withCodecSuffix(proposeOutputPath(path)));
    encodeButton->setEnabled(true);
    return true;
}

void HenQ::onSaveProject()
{
}

void HenQ::onCloseAll()
{
}

void HenQ::pickIntoField(QLineEdit *field, const QString &filter, const QString &key)
{
    const QString path = pickFile(QStringLiteral("."), filter);
    if (path.isEmpty())
        return;
    field->setText(path);
    storeSetting(key, path);
}

void HenQ::onCfgOpen()
{
    pickIntoField(cfgEdit, tr("*.txt *.cfg;;All(*.*)"), QLatin1String(SettingsStore::configFile));
}

void HenQ::onSelectEncoder()
{
    pickIntoField(encoderEdit, tr("*.exe;;All(*.*)"), QLatin1String(SettingsStore::encoderProgram));
}

namespace {

// The suffixes of a codec's raw stream, the first one proposed.
QStringList rawSuffixes(const Codec &codec)
{
    if (codec.name() == QLatin1String("VVC"))
        return {QStringLiteral("266"), QStringLiteral("vvc")};
    return {QStringLiteral("265"), QStringLiteral("hevc")};
}

bool intoContainer(const Codec &codec)
{
    return !codec.libavName().isEmpty();
}

} // namespace

void HenQ::followEncoderCodec()
{
    JobSettings chosen;
    chosen.encoder = encoderEdit->text();
    chosen.config = cfgEdit->text();
    const Codec *codec = &JobOutput::codecOf(chosen);
    if (codec == encoderCodec)
        return;
    encoderCodec = codec;
    const QString output = withCodecSuffix(outputEdit->text());
    if (output != outputEdit->text())
        outputEdit->setText(output);
}

QString HenQ::withCodecSuffix(const QString &path) const
{
    if (!encoderCodec)
        return path;
    const QString suffix = QFileInfo(path).suffix().toLower();
    const QStringList own = rawSuffixes(*encoderCodec);
    if (suffix.isEmpty() || own.contains(suffix))
        return path;
    bool otherRaw = false;
    for (const Codec *codec : Codecs::all())
        otherRaw = otherRaw || rawSuffixes(*codec).contains(suffix);
    const bool refusedContainer = ContainerFormat::forPath(path).isContainer() && !intoContainer(*encoderCodec);
    if (!otherRaw && !refusedContainer)
        return path;
    return path.left(path.size() - suffix.size()) + own.first();
}

void HenQ::onOutputOpen()
{
    // The bitstream types first, as the proposed name is one; a container type makes the job
    // put the bitstream into that container with the input's sound, subtitles and chapters.
    // A codec that goes into no container here (VVC) has its raw stream as the one choice.
    const Codec &codec = encoderCodec ? *encoderCodec : Codecs::fallback();
    const QString raw = tr("%1 bitstream (*.%2 *.bin)").arg(codec.name(), rawSuffixes(codec).join(QStringLiteral(" *.")));
    const QString filter = intoContainer(codec)
        ? raw + tr(";;MP4 (*.mp4 *.m4v);;QuickTime (*.mov);;Matroska (*.mkv);;MPEG transport stream (*.ts *.m2ts);;"
                   "All(*.*)")
        : raw + tr(";;All(*.*)");
    const QString path = pickFile(recentDir, filter);
    if (path.isEmpty())
        return;
    outputEdit->setText(path);
    recentDir = QFileInfo(path).absolutePath();
    storeSetting(QLatin1String(SettingsStore::recentFolder), recentDir);
}

void HenQ::onCfgSettings()
{
    const QString text = cfgEdit->text();
    QUrl url(text);
    // A bare file name or path is not a URL here: open it as a local file instead.
    if (url.scheme().length() <= 1)
        url = QUrl::fromLocalFile(QFileInfo(text).absoluteFilePath());
    if (QDesktopServices::openUrl(url))
        return;

    QMessageBox box(QMessageBox::Warning, tr("Warning"), tr("Unable to open file %1.").arg(text),
                    QMessageBox::NoButton, this);
    QPushButton *ok = box.addButton(tr("OK"), QMessageBox::AcceptRole);
    box.setDefaultButton(ok);
    box.exec();
}

MainWindowBase *createMainWindow(QWidget *parent)
{
    auto *window = new HenQ(parent);
    window->show();
    return window;
}
