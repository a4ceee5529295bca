#ifndef INPUTNAMING_H
#define INPUTNAMING_H

#include <QString>

// What the name of an input tells: whether it is a raw YUV file, what its raw geometry
// probably is, and where its output goes. Shared by the window and the command-line program,
// so that both derive the same names.
namespace InputNaming {

// What the raw YUV dialog offers before the user edits it, guessed from the file's path.
struct YuvGuess
{
    QString width;
    QString height;
    int bitDepthIndex = 0;  // into "8 bpp", "10 bpp", "12 bpp"
    int formatIndex = 0;    // into "YUV 420", "YUV 422", "YUV 444", "YUV 400", "R8G8B8A8"
};

// A raw YUV file is recognised by ".yuv", ".420", ".422", ".444" or ".400" anywhere in the
// lower-cased path.
bool isRawYuvPath(const QString &path);
// Size from the last "<W>x<H>" in the path, else a size keyword, else the previous size;
// bit depth and format from keywords. Case-sensitive, over the whole path.
YuvGuess guessYuvSettings(const QString &path, int prevWidth, int prevHeight);
// The output proposed for an input: the input's suffix replaced by "265", never the input
// path itself.
QString proposeOutputPath(const QString &inputPath);

} // namespace InputNaming

#endif // INPUTNAMING_H
