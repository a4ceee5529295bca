#include "henq.h"

#include <QComboBox>
#include <QDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

// Choosing the input and describing raw YUV files.

namespace {

// Names that mark a raw YUV file, tested in this order on the lower-cased path.
const char *const rawYuvMarkers[] = {".yuv", ".420", ".422", ".444", ".400"};

bool isRawYuvPath(const QString &path)
{
    const QString lower = path.toLower();
    for (const char *marker : rawYuvMarkers) {
        if (lower.contains(QLatin1String(marker)))
            return true;
    }
    return false;
}

// What the raw YUV dialog offers before the user edits it, guessed from the file's path.
struct YuvGuess
{
    QString width;
    QString height;
    int bitDepthIndex = 0;  // into "8 bpp", "10 bpp", "12 bpp"
    int formatIndex = 0;    // into "YUV 420", "YUV 422", "YUV 444", "YUV 400", "R8G8B8A8"
};

bool isDecimalDigit(QChar c)
{
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

// Finds the last "<digits>x<digits>" in the path and returns both digit runs whole.
bool findExplicitSize(const QString &path, QString *width, QString *height)
{
    for (int x = path.size() - 2; x > 0; --x) {
        if (path.at(x) != QLatin1Char('x') || !isDecimalDigit(path.at(x - 1))
            || !isDecimalDigit(path.at(x + 1)))
            continue;
        int begin = x - 1;
        while (begin > 0 && isDecimalDigit(path.at(begin - 1)))
            --begin;
        int end = x + 1;
        while (end < path.size() && isDecimalDigit(path.at(end)))
            ++end;
        *width = path.mid(begin, x - begin);
        *height = path.mid(x + 1, end - x - 1);
        return true;
    }
    return false;
}

// All tests are case-sensitive and look at the whole path, folders included.
YuvGuess guessYuvSettings(const QString &path, int prevWidth, int prevHeight)
{
    YuvGuess guess;
    guess.width = QString::number(prevWidth);
    guess.height = QString::number(prevHeight);

    static const struct { const char *keyword; const char *width; const char *height; } sizes[] = {
        {"qcif", "176", "144"},
        {"cif", "352", "288"},
        {"1080", "1920", "1080"},
        {"720", "1280", "720"},
    };
    if (!findExplicitSize(path, &guess.width, &guess.height)) {
        for (const auto &size : sizes) {
            if (path.contains(QLatin1String(size.keyword))) {
                guess.width = QLatin1String(size.width);
                guess.height = QLatin1String(size.height);
                break;
            }
        }
    }

    if (path.contains(QLatin1String("8bit")))
        guess.bitDepthIndex = 0;
    else if (path.contains(QLatin1String("10bit")))
        guess.bitDepthIndex = 1;
    else if (path.contains(QLatin1String("12bit")))
        guess.bitDepthIndex = 2;

    static const char *const formatKeywords[] = {"422", "444", "400", "rgb"};
    for (int i = 0; i < 4; ++i) {
        if (path.contains(QLatin1String(formatKeywords[i]))) {
            guess.formatIndex = i + 1;
            break;
        }
    }
    return guess;
}

int bitDepthForIndex(int index)
{
    static const int depths[] = {8, 10, 12};
    return index >= 0 && index < 3 ? depths[index] : 8;
}

QComboBox *bitDepthCombo(int index, QWidget *parent)
{
    auto *combo = new QComboBox(parent);
    combo->addItems({QStringLiteral("8 bpp"), QStringLiteral("10 bpp"), QStringLiteral("12 bpp")});
    combo->setCurrentIndex(index);
    return combo;
}

} // namespace

void HenQ::onFileOpen()
{
    // Cleared first, so that a cancelled picker also leaves no stale raw description.
    rawFrame.width = 0;
    rawFrame.height = 0;

    QString path = pickFile(
        recentDir,
        tr("*.h264 *.avc *.264 *.26l *.mvc *.vp8 *.ivf *.webm *.mp4 *.mov *.3gp *.flv *.f4v "
           "*.rtp *.yuv *.422 *.444 *.420 *.400 *.ts *.MTS *.m2ts *.mpg *.m2v *.hevc *.265 "
           "*.mkv;;All(*.*)"));
    if (path.isEmpty())
        return;

    if (isRawYuvPath(path)) {
        // A cancelled dialog still takes the file; with no raw size the encode job decodes it.
        askYuvSettings(path, prevWidth, prevHeight);
    } else {
        // Only a check that the file can be read; the encode job opens it again.
        int result = -1;
        if (VideoDecoder *decoder = decoderCreate()) {
            result = decoderOpen(decoder, path.toStdString().c_str());
            decoderDestroy(&decoder);
        }
        if (result < 0) {
            QMessageBox::warning(this, tr("Warning"), QStringLiteral("Unsupported file"),
                                 QMessageBox::Ok, QMessageBox::NoButton);
            return;
        }
    }

    fileOpen(path, false);
}

bool HenQ::askYuvSettings(const QString &path, int prevWidth, int prevHeight)
{
    // A size remembered from an earlier run is taken as it is, without asking.
    if (prevWidth >= 16 || prevHeight >= 16) {
        rawFrame.width = prevWidth;
        rawFrame.height = prevHeight;
        rawFrame.chromaWidth = prevWidth / 2;
        rawFrame.chromaHeight = prevHeight / 2;
        rawFrame.lumaBitDepth = 0;
        rawFrame.chromaBitDepth = 0;
        return true;
    }

    const YuvGuess guess = guessYuvSettings(path, prevWidth, prevHeight);

    QDialog dialog(this);
    dialog.setWindowTitle(QStringLiteral("YUV Settings"));
    auto *mainLayout = new QVBoxLayout(&dialog);
    auto *form = new QFormLayout;

    auto *widthEdit = new QLineEdit(guess.width, &dialog);
    auto *heightEdit = new QLineEdit(guess.height, &dialog);
    auto *fpsEdit = new QLineEdit(QStringLiteral("30"), &dialog);
    QComboBox *lumaDepthCombo = bitDepthCombo(guess.bitDepthIndex, &dialog);
    QComboBox *chromaDepthCombo = bitDepthCombo(guess.bitDepthIndex, &dialog);
    auto *formatCombo = new QComboBox(&dialog);
    formatCombo->addItems({QStringLiteral("YUV 420"), QStringLiteral("YUV 422"),
                           QStringLiteral("YUV 444"), QStringLiteral("YUV 400"),
                           QStringLiteral("R8G8B8A8")});
    formatCombo->setCurrentIndex(guess.formatIndex);

    form->addRow(tr("Width:"), widthEdit);
    form->addRow(tr("Height:"), heightEdit);
    form->addRow(tr("fps:"), fpsEdit);
    form->addRow(tr("Y bpp:"), lumaDepthCombo);
    form->addRow(tr("Cr/Cb bpp:"), chromaDepthCombo);
    form->addRow(tr("Format:"), formatCombo);
    mainLayout->addLayout(form);

    auto *buttonRow = new QHBoxLayout;
    auto *cancelButton = new QPushButton(tr("Cancel"), &dialog);
    auto *okButton = new QPushButton(tr("OK"), &dialog);
    // Enter in a field confirms the values rather than throwing them away.
    okButton->setDefault(true);
    connect(cancelButton, &QPushButton::clicked, &dialog, &QDialog::reject);
    connect(okButton, &QPushButton::clicked, &dialog, &QDialog::accept);
    buttonRow->addWidget(cancelButton);
    buttonRow->addWidget(okButton);
    mainLayout->addLayout(buttonRow);

    if (dialog.exec() != QDialog::Accepted)
        return false;

    bool widthOk = false;
    bool heightOk = false;
    bool fpsOk = false;
    const int width = widthEdit->text().toInt(&widthOk, 10);
    const int height = heightEdit->text().toInt(&heightOk, 10);
    fpsEdit->text().toInt(&fpsOk, 10);
    // The frame rate and the format are asked for but not passed on: the encoder gets only
    // the picture size.
    if (!widthOk || !heightOk || !fpsOk)
        return false;

    rawFrame.width = width;
    rawFrame.height = height;
    rawFrame.chromaWidth = width / 2;
    rawFrame.chromaHeight = height / 2;
    rawFrame.lumaBitDepth = bitDepthForIndex(lumaDepthCombo->currentIndex());
    rawFrame.chromaBitDepth = bitDepthForIndex(chromaDepthCombo->currentIndex());
    return true;
}
