// The serial link: the one background thread that owns the device.
//
// link_thread opens port_path, configures the line (8N1 at baud_rate, reads that return at once),
// polls it for received bytes and hands them to the view (view.h), which shows and logs them,
// queries the device every 201 idle passes to notice that it has gone, and then reopens it once a
// second until it is back, announcing each change through the view. port_path is opened by its name
// at every attempt, so a link to the device is followed anew. Why an attempt failed goes to
// standard error once, and again only when the reason changes.
//
// Once the thread runs it is the only writer of port_handle and of the link's state, and the main
// thread reaches the device only through link_send_key(). Every access from another thread is
// sequentially consistent (the link thread reads its own writes relaxed): the thread stores a new
// handle before it marks the link up, so a key sent once the link is seen up goes to that handle,
// and a key write in flight and the release of a lost handle never overlap (link.cpp says how).
//
//   open_port()       opens a device path as the link and the port menu do: exclusively, and only
//                     a character device (anything else is closed again); INVALID_HANDLE_VALUE
//                     when it cannot be opened, with open_failure_text() (platform.h) saying why.
//   link_thread()     the thread routine; never returns.
//   link_send_key()   the main thread's way to send one key byte while the link is up.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform.h"

// port_path_size comes from the platform: 32 on Windows; on Linux a '/' path may be as long as the
// system allows. A "\\.\" device path holds 31 characters and the NUL everywhere.
constexpr std::size_t device_namespace_path_size = 32;
static_assert(port_path_size >= device_namespace_path_size);

// Written by the main thread before the link thread starts, only read afterwards.
extern char port_path[port_path_size];
extern std::int32_t baud_rate;

// The open device, or INVALID_HANDLE_VALUE; the link thread alone writes it.
extern std::atomic<HANDLE> port_handle;

HANDLE open_port(const char* path);
unsigned link_thread(void* argument);

// Sends one byte to the device if the link is up: 0 sent, -1 the write failed, 1 dropped because
// the link is not up. Safe against the link thread releasing a lost handle at the same moment.
int link_send_key(unsigned char key);
