#include "henq.h"

// Choosing the input and describing raw YUV files.

void HenQ::onFileOpen()
{
}

bool HenQ::askYuvSettings(const QString &, int, int)
{
    return false;
}
