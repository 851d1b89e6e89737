#include "platform/Component.h"

#include <algorithm>

namespace platform {

TComponent::TComponent(TComponent* owner) : owner_(owner) {
  if (owner_) owner_->Insert(this);
}

TComponent::~TComponent() {
  destroying_ = true;
  // Owned components go first, newest first, as the library frees them.
  while (!owned_.empty()) {
    TComponent* c = owned_.back();
    owned_.pop_back();
    c->owner_ = nullptr;
    delete c;
  }
  if (owner_) owner_->Remove(this);
}

void TComponent::Remove(TComponent* c) {
  owned_.erase(std::remove(owned_.begin(), owned_.end(), c), owned_.end());
}

TApplication& Application() {
  static TApplication* app = new TApplication();  // lives until the process ends
  return *app;
}

}  // namespace platform
