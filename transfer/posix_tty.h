#pragma once

#include <termios.h>

#include <cstddef>

// What the transfer's port and the flash-mode dialogue's line share on POSIX terminals.

// The device path for a port name: a kernel name ("ttyACM0", trailing blanks ignored) goes
// below /dev/, a name containing '/' is a path as it stands. false when it does not fit into
// capacity bytes.
bool TtyDevicePath(const char* name, char* path, size_t capacity);

// Opens a terminal for exclusive use: TIOCEXCL keeps other openers out, and since root
// passes it, an advisory lock on the device tells cooperating programs (and ourselves as
// root) that the port is taken. Returns the descriptor (non-blocking), or -1 with errno set:
// EWOULDBLOCK when another program holds the port, ENOTTY when the path is no terminal.
int OpenExclusiveTty(const char* path);

// Gives up exclusive use and closes. A pseudo-terminal keeps its exclusive flag after our
// close while its other side stays open, which would keep the next opener out.
void CloseExclusiveTty(int fd);

// Raw 8N1 without flow control; reads return at once with what is there.
void MakeRaw8N1(termios& settings);
