#include "vvcnalunit.h"

bool VvcNalUnit::startsAccessUnit(int type)
{
    // Reserved types 26 and 27 and unspecified 28 and 29 open one too.
    return (type >= Opi && type <= PrefixAps) || type == PictureHeader || type == Aud || type == PrefixSei
        || (type >= 26 && type <= 29);
}

bool VvcNalUnit::opensStream(const char *header)
{
    if (damaged(header))
        return false;
    const int first = type(header);
    return (first >= IdrWithRadl && first <= Gdr) || (first >= Opi && first <= PrefixAps) || first == PictureHeader
        || first == Aud || first == PrefixSei;
}

QString VvcNalUnit::name(int type)
{
    static const char *const names[] = {
        "TRAIL", "STSA", "RADL", "RASL", nullptr, nullptr, nullptr, "IDR_W_RADL", "IDR_N_LP", "CRA", "GDR",
        nullptr, "OPI", "DCI", "VPS", "SPS", "PPS", "PREFIX_APS", "SUFFIX_APS", "PH", "AUD", "EOS", "EOB",
        "PREFIX_SEI", "SUFFIX_SEI", "FD"};
    if (type >= 0 && type < int(sizeof names / sizeof *names) && names[type])
        return QString::fromLatin1(names[type]);
    return QString::number(type);
}
