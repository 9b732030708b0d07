#pragma once

#include "wifi/LocationAuthorization.h"

namespace corvane::fakes {

// A location permission in any status, whose change the test announces.
class FakeLocationAuthorization final : public LocationAuthorization {
public:
    std::int32_t status = 3;
    int requests = 0;
    ChangeHandler handler;

    std::int32_t authorizationStatus() const override { return status; }
    void requestAlwaysAuthorization() override { ++requests; }
    void setChangeHandler(ChangeHandler newHandler) override { handler = std::move(newHandler); }

    void change(std::int32_t newStatus)
    {
        status = newStatus;
        if (handler)
            handler(*this);
    }
};

} // namespace corvane::fakes
