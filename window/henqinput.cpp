#include "henq.h"

#include "job/inputnaming.h"

#include <QComboBox>
#include <QDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

// Choosing the input and describing raw YUV files.

namespace {

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
    chooseInput(path);
}

bool HenQ::chooseInput(QString path)
{
    if (InputNaming::isRawYuvPath(path)) {
        // A cancelled dialog still takes the file; with no raw size the encode job decodes it.
        askYuvSettings(path, prevWidth, prevHeight);
    } else if (const QFileInfo info(path); info.exists() && !info.isFile() && !info.isDir()) {
        // A named pipe (or another special file) is not opened to check it: the check would
        // wait for a writer and eat the start of the stream. The job opens it off the window's
        // thread and says what is wrong with it.
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
            return false;
        }
    }

    return fileOpen(path, false);
}

bool HenQ::askYuvSettings(const QString &path, int prevWidth, int prevHeight)
{
    // A size remembered from an earlier run is taken as it is, without asking.
    if (prevWidth >= 16 || prevHeight >= 16) {
        rawFps = 0;
        rawFrame.width = prevWidth;
        rawFrame.height = prevHeight;
        rawFrame.chromaWidth = prevWidth / 2;
        rawFrame.chromaHeight = prevHeight / 2;
        rawFrame.lumaBitDepth = 0;
        rawFrame.chromaBitDepth = 0;
        return true;
    }

    const InputNaming::YuvGuess guess = InputNaming::guessYuvSettings(path, prevWidth, prevHeight);

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
    const int fps = fpsEdit->text().toInt(&fpsOk, 10);
    // The encoder gets only the picture size; the frame rate reaches the output through the
    // rewrite of its parameter sets after the encode.
    if (!widthOk || !heightOk || !fpsOk)
        return false;

    rawFps = fps;
    rawFrame.width = width;
    rawFrame.height = height;
    rawFrame.chromaWidth = width / 2;
    rawFrame.chromaHeight = height / 2;
    rawFrame.lumaBitDepth = bitDepthForIndex(lumaDepthCombo->currentIndex());
    rawFrame.chromaBitDepth = bitDepthForIndex(chromaDepthCombo->currentIndex());
    return true;
}
