/*
 * non_copyable.h - a base for the device's owners of threads, handles and
 * servers: one instance owns the resource, so it is neither copied nor moved.
 */
#ifndef RECNET_DEVICE_NON_COPYABLE_H
#define RECNET_DEVICE_NON_COPYABLE_H

class NonCopyable {
public:
    NonCopyable(const NonCopyable&) = delete;
    NonCopyable& operator=(const NonCopyable&) = delete;

protected:
    NonCopyable() = default;
    ~NonCopyable() = default;
};

#endif
