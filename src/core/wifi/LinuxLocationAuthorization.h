#pragma once

#include "wifi/LocationAuthorization.h"

namespace corvane {

// Linux withholds no Wi-Fi names, so the permission is always granted and
// never changes.
class LinuxLocationAuthorization final : public LocationAuthorization {
public:
    std::int32_t authorizationStatus() const override;
    void requestAlwaysAuthorization() override;
    void setChangeHandler(ChangeHandler handler) override;
};

} // namespace corvane
