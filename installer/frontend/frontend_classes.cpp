#include "installer/frontend/frontend_classes.h"

#include "installer/frontend/decorative_controls.h"
#include "installer/frontend/dialog_manager.h"
#include "installer/frontend/main_form.h"
#include "installer/frontend/progress_forms.h"
#include "installer/frontend/standard_pages.h"

namespace orln {

void RegisterFrontendClasses() {
  for (const host::TPropertyTable* t : {&TRotate3DLabel::ClassProperties(), &TBackdrop::ClassProperties()})
    host::RegisterClass(*t);
  RegisterDialogManagerClasses();
  RegisterStandardPageClasses();
  RegisterProgressFormClasses();
  RegisterProductClasses();
}

}  // namespace orln
