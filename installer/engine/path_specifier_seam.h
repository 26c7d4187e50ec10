// Stand-in for the path specifiers until they land: the few calls the object
// model and the registry items make of them.
#pragma once

#include <string>
#include <string_view>

#include "host/classes/component.h"

namespace orln {

class TCustomPathSpecifier : public host::TComponent {
 public:
  using TComponent::TComponent;
  virtual void Validate(host::TComponent* object) { (void)object; }
  virtual std::string GetPath(host::TComponent* object) {
    (void)object;
    return std::string();
  }
};

class TpsContainerDestDir : public TCustomPathSpecifier {
 public:
  using TCustomPathSpecifier::TCustomPathSpecifier;
};

// The shared instance of the container-destination specifier, or null.
TCustomPathSpecifier* SharedContainerDestDir();
// Makes sure of the standard specifiers on a form or data module owner.
void EnsureStandardSpecifiersOn(host::TComponent* owner);
// '%' toggles a placeholder, "%%" is '%', "%p" the path.
std::string ExpandPathSpecifier(std::string_view text, const std::string& path);

}  // namespace orln
