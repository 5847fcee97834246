#pragma once

#include <string>
#include <string_view>

namespace tavik {

// What an identified unit is offered, the same for the window and the command line.
enum class OfferOutcome {
    xmos,          // reports the version "XMOS": already up to date, no image offered
    unidentified,  // serial shorter than 5 characters (and not "XMOS"): no image offered
    upToDate,      // holds the catalogue's target version: the same image may be written again
    update,        // holds another version: the catalogue's image is offered
};

struct UnitOffer {
    OfferOutcome outcome = OfferOutcome::unidentified;
    std::string product;
    std::string serial;
    // The display version of what the unit runs now ("2.XX" when its build maps to none); empty
    // for the two outcomes without an image.
    std::string currentDisplayVersion;
    // What the catalogue's image makes of the unit; empty without an image.
    std::string targetDisplayVersion;
    // Image storage id of the catalogue's image (103, 104 or 105); 0 without an image.
    int resourceId = 0;

    bool hasImage() const { return resourceId != 0; }
};

// The one choice of outcome and image for a unit's identified texts (build is the part of the
// version after its first "+"). The first rule that holds wins: the exact version "XMOS", a
// serial of fewer than 5 characters, then the catalogue by serial, whose target version equal
// byte for byte to the unit's is up to date.
UnitOffer chooseUnitOffer(std::string_view product, std::string_view serial,
                          std::string_view version, std::string_view build);

}  // namespace tavik
