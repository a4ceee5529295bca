#ifndef STREAMMETADATA_H
#define STREAMMETADATA_H

// What of the input's descriptions goes along into the output, for a track, the file or a
// chapter: titles, languages, a rotation; not what describes the input's own file or coding.

struct AVDictionary;
struct AVStream;
class ContainerFormat;

class StreamMetadata
{
public:
    static void copy(AVDictionary **to, const AVDictionary *from);
    // A track's metadata as the container keeps it: in MP4 and QuickTime the title is also the
    // name of the track's handler, and QuickTime names languages by their older codes.
    static void copyToTrack(AVDictionary **to, const AVDictionary *from, const ContainerFormat &format);
    // The rotation of a phone's video and the like.
    static void copyDisplayMatrix(const AVStream *from, AVStream *to);
};

#endif // STREAMMETADATA_H
