#include "buslink.h"

#include "busaddress.h"
#include "localseriallink.h"
#include "rawtcplink.h"
#include "rfc2217link.h"

std::unique_ptr<BusLink> BusLink::create(const QString &portText, QString *error)
{
    const BusAddress address = BusAddress::parse(portText);
    if (!address.isValid()) {
        if (error)
            *error = address.error;
        return nullptr;
    }
    switch (address.kind) {
    case BusAddress::Kind::Rfc2217:
        return std::make_unique<Rfc2217Link>(address);
    case BusAddress::Kind::RawTcp:
        return std::make_unique<RawTcpLink>(address);
    case BusAddress::Kind::LocalPort:
        break;
    }
    return std::make_unique<LocalSerialLink>(portText);
}
