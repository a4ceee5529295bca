#include "inputnaming.h"

#include <QFileInfo>

namespace InputNaming {

namespace {

// Names that mark a raw YUV file, tested in this order on the lower-cased path.
const char *const rawYuvMarkers[] = {".yuv", ".420", ".422", ".444", ".400"};


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

} // namespace

bool isRawYuvPath(const QString &path)
{
    const QString lower = path.toLower();
    for (const char *marker : rawYuvMarkers) {
        if (lower.contains(QLatin1String(marker)))
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


QString proposeOutputPath(const QString &inputPath)
{
    const QFileInfo info(inputPath);
    const QString suffix = info.suffix();
    // Without a suffix there is nothing to replace: dots in folder names stay as they are.
    if (suffix.isEmpty())
        return inputPath + QStringLiteral(".265");

    QString output = inputPath;
    output.replace(QLatin1Char('.') + suffix, QStringLiteral(".265"), Qt::CaseSensitive);
    // An input that already is a .265 file would be overwritten while it is being read.
    if (output == inputPath) {
        const QString folder = inputPath.left(inputPath.length() - info.fileName().length());
        output = folder + info.completeBaseName() + QStringLiteral("_transcoded.265");
    }
    return output;
}


} // namespace InputNaming
