#ifndef ENCODERADVICE_H
#define ENCODERADVICE_H

#include "jobtypes/encoderconfigfile.h"

#include <QString>
#include <QStringList>

// The encoder's configuration, read once, and what the job tells the user about it: whether
// the pictures must reach the encoder through a file written whole, where the encoder's side
// files land and how much they take, and which source keys a configuration the encoder
// refused at once may lack. It knows the configuration, not the run that asks.
class EncoderAdvice
{
public:
    explicit EncoderAdvice(const QString &configPath);

    const EncoderConfigFile &config() const { return file; }

    // Why the pictures go through a regular file written whole before the encoder starts;
    // empty when a pipe serves. readsTwice: the encoder was seen opening its input twice.
    QString completeFileReason(bool readsTwice) const;
    // The lines that say, before the encoder starts in folder, where its reconstructed
    // pictures go and how much they take. segment: the encoder runs in a segment's private
    // folder. The pictures it reads: expected, or for a raw input it reads by itself, by path
    // (rawByPath not empty), as many as that file holds.
    QStringList sideFiles(const QString &folder, int width, int height, bool segment, qint64 expected,
                          const QString &rawByPath) const;
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
