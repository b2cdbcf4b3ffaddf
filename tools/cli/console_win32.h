// The relay between the tools' standard output and error and a Windows console.
#pragma once

namespace korvane::tools {

// When standard output or error is a console: both streams that are go, unbuffered and in their
// order, through one pipe to a thread that writes their UTF-8 to the console as UTF-16. Streams
// that are not a console (a file, a pipe) keep their bytes as written.
void StartConsoleRelay();
// Everything written before reaches the console; the streams are closed.
void StopConsoleRelay();

}  // namespace korvane::tools
