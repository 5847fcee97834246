#include "firmware/UnitOffer.hpp"

#include "device/Identification.hpp"
#include "firmware/FirmwareCatalog.hpp"

namespace tavik {

UnitOffer chooseUnitOffer(std::string_view product, std::string_view serial,
                          std::string_view version, std::string_view build) {
    UnitOffer offer;
    offer.product = product;
    offer.serial = serial;
    if (version == shortBranchVersion) {
        offer.outcome = OfferOutcome::xmos;
        return offer;
    }
    if (serial.size() < 5) {
        offer.outcome = OfferOutcome::unidentified;
        return offer;
    }
    const FirmwareEntry& entry = selectFirmwareEntry(serial);
    offer.outcome = version == entry.targetVersion ? OfferOutcome::upToDate : OfferOutcome::update;
    offer.currentDisplayVersion = currentDisplayVersion(entry, build);
    offer.targetDisplayVersion = entry.targetDisplayVersion;
    offer.resourceId = entry.resourceId;
    return offer;
}

}  // namespace tavik
