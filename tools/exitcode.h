#ifndef EXITCODE_H
#define EXITCODE_H

// Exit codes of the bundled encoder: each failure class has its own, so that scripts and the
// transcoder's "Encoding done(%1)." box tell them apart.
enum ExitCode {
    ExitSuccess = 0,
    ExitUsage = 1,         // unknown or malformed switch, missing required value
    ExitConfiguration = 2, // unreadable configuration file, malformed line, bad or refused value
    ExitInput = 3,         // the raw input cannot be opened or read
    ExitBitstream = 4,     // the bitstream file cannot be created or written
    ExitEncoder = 5        // the encoding library refused the parameters or failed
};

#endif // EXITCODE_H
