#include "installer/frontend/frontend_classes.h"

#include "installer/frontend/decorative_controls.h"

namespace orln {

void RegisterFrontendClasses() {
  for (const host::TPropertyTable* t : {&TRotate3DLabel::ClassProperties(), &TBackdrop::ClassProperties()})
    host::RegisterClass(*t);
}

}  // namespace orln
