#include "wifi/LinuxLocationAuthorization.h"

namespace corvane {

std::int32_t LinuxLocationAuthorization::authorizationStatus() const
{
    return kAuthorizedAlways;
}

void LinuxLocationAuthorization::requestAlwaysAuthorization()
{
}

void LinuxLocationAuthorization::setChangeHandler(ChangeHandler /*handler*/)
{
}

} // namespace corvane
