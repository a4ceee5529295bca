#ifndef ENCODERCONFIGFILE_H
#define ENCODERCONFIGFILE_H

#include <QHash>
#include <QString>
#include <QStringList>

// The keys of an encoder configuration file in the reference encoder's syntax: one
// "Key : value" a line, "#" starting a comment, keys case-sensitive, the last occurrence of
// a key winning, and a line with an empty value changing nothing, as in the encoder. The job reads the few keys that decide how it hands the pictures over and
// where it cuts segments; everything else is the encoder's business.
class EncoderConfigFile
{
public:
    // Reads the file; false with error() set when it cannot be read. An empty path reads as
    // a file without keys.
    bool read(const QString &path);
    // Takes the text of a file, e.g. for a configuration held in memory.
    void parse(const QByteArray &text);

    bool contains(const QString &key) const { return values.contains(key); }
    QString value(const QString &key) const { return values.value(key); }
    // The value as a whole number; the fallback when the key is absent or not a number.
    int intValue(const QString &key, int fallback) const;
    // A switch: on for a number other than 0 or "true" (in any case).
    bool isOn(const QString &key) const;
    // Keys in the order they first appear.
    const QStringList &keys() const { return order; }
    // The file's bytes as read, for hashing.
    const QByteArray &contents() const { return text; }
    const QString &error() const { return errorText; }

private:
    QHash<QString, QString> values;
    QStringList order;
    QByteArray text;
    QString errorText;
};

#endif // ENCODERCONFIGFILE_H
