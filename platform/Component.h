// The class library's component: it has an owner and is freed with it; and
// the application object, owner of last resort and home of the report of
// unhandled failures.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace platform {

class TObject;
class TComponent;

// Events are a callable bound to the object they belong to; an empty event
// has no handler and is skipped.
using TNotifyEvent = std::function<void(TObject* Sender)>;
using THandlerEvent = std::function<void(bool& Handled)>;

class TObject {
 public:
  virtual ~TObject() = default;
};

class TComponent : public TObject {
 public:
  explicit TComponent(TComponent* owner);
  ~TComponent() override;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return owner_; }
  // True while the destructor runs (the library's csDestroying state).
  bool Destroying() const { return destroying_; }

 protected:
  // Derived destructors call this first, so that code they run during
  // destruction can tell.
  void BeginDestroy() { destroying_ = true; }

 private:
  void Insert(TComponent* c) { owned_.push_back(c); }
  void Remove(TComponent* c);

  TComponent* owner_;
  std::vector<TComponent*> owned_;
  bool destroying_ = false;
};

class TApplication : public TComponent {
 public:
  TApplication() : TComponent(nullptr) {}

  std::string Title;
  // A request to end the program taken from the queue is noted here; no
  // wait ends because of it.
  bool Terminated = false;

  // The report of an unhandled failure. The desktop program puts its
  // default error dialog here; without a handler the failure is dropped.
  std::function<void(const std::exception&)> OnException;
  void HandleException(const std::exception& e) const {
    if (OnException) OnException(e);
  }
};

// The process's one application object.
TApplication& Application();

}  // namespace platform
