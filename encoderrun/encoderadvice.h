#ifndef ENCODERADVICE_H
#define ENCODERADVICE_H

#include "reconplace.h"

#include "jobtypes/encoderconfigfile.h"

#include <QString>
#include <QStringList>

// The encoder's configuration, read once, and what the job tells the user about it: whether
// the pictures must reach the encoder through a file written whole, where the encoder's
// reconstruction lands and how much it takes, and which source keys a configuration the
// encoder refused at once may lack; and the copies of it a run gives its encoder. It knows the
// configuration, not the run that asks.
class EncoderAdvice
{
public:
    explicit EncoderAdvice(const QString &configPath);

    const EncoderConfigFile &config() const { return file; }

    // Why the pictures go through a regular file written whole before the encoder starts;
    // empty when a pipe serves. readsTwice: the encoder was seen opening its input twice.
    QString completeFileReason(bool readsTwice) const;
    // The line that says, before the encoder starts, where its reconstructed pictures go and,
    // where they are written, how much they take; empty without a ReconFile. outputFolder:
    // where the job's output goes. The pictures the encoder reads: expected, or for a raw input
    // it reads by itself, by path (rawByPath not empty), as many as that file holds.
    QString reconLine(const ReconPlace &recon, const QString &outputFolder, int width, int height, qint64 expected,
                      const QString &rawByPath) const;
    // The lines a copy of the configuration ends with so that the encoder codes exactly what an
    // input file of `handing` pictures holds for it: FramesToBeEncoded, the configuration's own
    // FrameSkip left out and its own FramesToBeEncoded kept where it is lower. Empty where the
    // configuration says so already, or cannot be read (the encoder then tells its own problem).
    // Some encoders never end when their input ends before the pictures they were told of.
    QByteArray endLines(qint64 handing) const;
    // Writes a copy of the configuration into folder, with `added` at its end, where it wins;
    // its path, or empty with *problem saying why it cannot be written.
    QString writeCopy(const QString &folder, const QByteArray &added, QString *problem) const;
    // For an encoder that refused the configuration at once: the line that names the source
    // keys it lacks, with examples (frameRate: the input's, for the example); empty when it
    // lacks none or cannot be read.
    QString sourceKeysHint(int frameRate) const;

private:
    const QString path;
    EncoderConfigFile file;
    bool readable = false;
};

#endif // ENCODERADVICE_H
