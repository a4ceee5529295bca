#ifndef AVLIBRARIES_H
#define AVLIBRARIES_H

// FFmpeg's libraries (formats, codecs, utilities, scaling) are loaded by the first call the
// program makes into them, not as the program starts. They bring some hundred libraries of their
// own, three quarters of every start's CPU time; a run that decodes nothing (a raw input, a
// segment of a shared job, every cell of an experiment on raw sequences) never loads them.
//
// The program calls them under their usual names: each call it makes goes through a slot that
// first points at a loader, then, from the first call of any of them on, at the library's own
// function (avlibraries.cpp lists them). A call that is not listed there fails to link.
namespace AvLibraries {

// Whether the libraries are in the process yet.
bool loaded();

// Loads the libraries on a thread of their own, unless they are in or loading already: for a
// run that will call them soon (to rewrite or check its encoder's output) and waits for its
// encoder meanwhile. The process waits for that thread as it ends.
void loadSoon();

// Runs `ready` once the libraries are in, before the call that loads them goes on; at once when
// they are in already. Calls are made in the order they were asked for.
void whenLoaded(void (*ready)());

} // namespace AvLibraries

#endif // AVLIBRARIES_H
