// Owning wrappers of the service manager's handles: one pointer wide,
// movable, not copyable; destruction closes the handle exactly once.
#pragma once

#include "platform/win32.h"

#include <utility>

namespace vek {

namespace detail {

// A handle closed with CloseServiceHandle. NULL is "no handle". Closing
// ignores the result and leaves the last-error code as it was, so that a
// failed call's code survives the release of what the operation held.
class ServiceManagerHandle {
public:
    explicit ServiceManagerHandle(platform::Handle handle) noexcept : handle_(handle) {}
    ServiceManagerHandle(ServiceManagerHandle&& other) noexcept
        : handle_(std::exchange(other.handle_, nullptr)) {}
    ServiceManagerHandle& operator=(ServiceManagerHandle&& other) noexcept {
        if (this != &other) {
            close();
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }
    ServiceManagerHandle(const ServiceManagerHandle&) = delete;
    ServiceManagerHandle& operator=(const ServiceManagerHandle&) = delete;
    ~ServiceManagerHandle() { close(); }

    platform::Handle get() const noexcept { return handle_; }

private:
    void close() noexcept {
        if (handle_ != nullptr) {
            platform::Dword saved = platform::GetLastError();
            platform::CloseServiceHandle(std::exchange(handle_, nullptr));
            platform::SetLastError(saved);
        }
    }

    platform::Handle handle_;
};

}  // namespace detail

// An open connection to the local service control manager.
class ScmConnection : public detail::ServiceManagerHandle {
public:
    // Takes ownership of a handle from OpenSCManagerW.
    explicit ScmConnection(platform::Handle handle) noexcept : ServiceManagerHandle(handle) {}
};

// An open handle to one service. Holds no reference to its connection.
class ServiceHandle : public detail::ServiceManagerHandle {
public:
    // Takes ownership of a handle from OpenServiceW or CreateServiceW.
    explicit ServiceHandle(platform::Handle handle) noexcept : ServiceManagerHandle(handle) {}
};

static_assert(sizeof(ScmConnection) == sizeof(void*));
static_assert(sizeof(ServiceHandle) == sizeof(void*));

}  // namespace vek
