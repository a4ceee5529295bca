#include "encoderconfigfile.h"

#include <QFile>

bool EncoderConfigFile::read(const QString &path)
{
    values.clear();
    order.clear();
    text.clear();
    errorText.clear();
    if (path.isEmpty())
        return true;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        errorText = file.errorString();
        return false;
    }
    // A configuration is a few kilobytes; anything far larger is not one.
    const QByteArray bytes = file.read(16 << 20);
    if (file.error() != QFileDevice::NoError) {
        errorText = file.errorString();
        return false;
    }
    parse(bytes);
    return true;
}

void EncoderConfigFile::parse(const QByteArray &bytes)
{
    text = bytes;
    for (QByteArray line : bytes.split('\n')) {
        const qsizetype comment = line.indexOf('#');
        if (comment >= 0)
            line.truncate(comment);
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        const QString key = QString::fromUtf8(line.left(colon).trimmed());
        const QString value = QString::fromUtf8(line.mid(colon + 1).trimmed());
        // The reference encoders leave a key whose value is empty as it was ("ReconFile :"
        // after "ReconFile : rec.yuv" still writes rec.yuv).
        if (key.isEmpty() || key.contains(QLatin1Char(' ')) || value.isEmpty())
            continue;
        if (!values.contains(key))
            order << key;
        values.insert(key, value);
    }
}

int EncoderConfigFile::intValue(const QString &key, int fallback) const
{
    bool ok = false;
    const int number = values.value(key).toInt(&ok);
    return ok ? number : fallback;
}

bool EncoderConfigFile::isOn(const QString &key) const
{
    return intValue(key, 0) != 0 || value(key).compare(QLatin1String("true"), Qt::CaseInsensitive) == 0;
}
