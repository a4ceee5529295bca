#ifndef REWRITECHECK_H
#define REWRITECHECK_H

// The check of a rewritten stream before it replaces the original: the rewrite may change
// parameter sets and add SEI messages, nothing else.

#include <QString>

class QFileDevice;

namespace RewriteCheck {

// Whether every other NAL unit of the original stream is in the rewritten one byte for byte
// and in order, and every parameter set in its place; empty when so, else which unit would
// not have come through, or why either stream could not be read. The rewritten stream is read
// back through a descriptor of its own, from the start, so `file` may still be open for
// writing.
QString nothingLost(const QString &originalPath, const QFileDevice &file);

} // namespace RewriteCheck

#endif // REWRITECHECK_H
