#include "henq.h"

// The encode job.

void HenQ::onEncode()
{
}

void HenQ::updateLog()
{
}

void HenQ::encoderDone(int, QProcess::ExitStatus)
{
}

void HenQ::launchEncoder(const QString &, const FrameInfo &)
{
}
