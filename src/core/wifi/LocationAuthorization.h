#pragma once

#include <cstdint>
#include <functional>

namespace corvane {

// The platform's location permission, which decides whether Wi-Fi names and
// addresses are revealed. Statuses: 0 not determined, 1 restricted,
// 2 denied, 3 authorized always, 4 authorized when in use.
class LocationAuthorization {
public:
    using ChangeHandler = std::function<void(LocationAuthorization&)>;

    static constexpr std::int32_t kNotDetermined = 0;
    static constexpr std::int32_t kAuthorizedAlways = 3;

    virtual ~LocationAuthorization() = default;

    virtual std::int32_t authorizationStatus() const = 0;
    // Asks the user; returns at once, the answer comes through the handler.
    virtual void requestAlwaysAuthorization() = 0;
    // Called on the main thread when the status changes; an empty handler
    // stops the calls.
    virtual void setChangeHandler(ChangeHandler handler) = 0;
};

} // namespace corvane
