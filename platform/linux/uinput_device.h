// The calls that reach the kernel's uinput device, in one table: the product
// uses the system's, the test suites put a model of the device in their place.
#pragma once

#include <sys/types.h>

#include <atomic>

struct UinputCalls {
    int (*Open)(const char* path, int flags);
    int (*Ioctl)(int fd, unsigned long request, unsigned long argument);
    ssize_t (*Write)(int fd, const void* data, size_t size);
    ssize_t (*Read)(int fd, void* data, size_t size);
    int (*Close)(int fd);
};

extern const UinputCalls SystemUinputCalls;
extern std::atomic<const UinputCalls*> UinputDevice;

inline constexpr const char* UinputPath = "/dev/uinput";
inline constexpr const char* VirtualKeyboardName = "Keypanel";
