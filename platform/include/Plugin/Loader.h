// The host's plug-in loader.
//
// A table plug-in registers twice while its library loads: it pushes an init
// caller at the front of the loader's list, and records itself with the
// loader's implementation object (registerPlugin). Later the host runs the
// loader's init callers (runInitCallers), each of which calls its plug-in's
// init() with the loader's table-holder context; that is where table
// factories get registered. Each init caller runs once, however often the
// host runs the list. A plug-in removes both records when it is destroyed.
#pragma once

#include <list>
#include <vector>

#include "Orvel/String.h"

namespace VovuAsicUtils {
class HwTableHolderContext;
}

namespace Plugin {

class InitCaller {
 public:
  virtual ~InitCaller() = default;
  virtual void call(VovuAsicUtils::HwTableHolderContext* context) = 0;
};

// The loader's list element: an init caller and the context it is called with.
class LoaderInitCallerWithContext {
 public:
  LoaderInitCallerWithContext(VovuAsicUtils::HwTableHolderContext* const* context, InitCaller* initCaller)
      : context_(context), initCaller_(initCaller) {}
  void call() { initCaller_->call(*context_); }
  InitCaller* initCaller() const noexcept { return initCaller_; }
  bool called() const noexcept { return called_; }
  void calledIs(bool called) noexcept { called_ = called; }

 private:
  VovuAsicUtils::HwTableHolderContext* const* context_;
  InitCaller* initCaller_;
  bool called_ = false;
};

namespace Impl {

class LoaderImpl {
 public:
  struct Registration {
    Orvel::String pluginName;
    Orvel::String loaderText;
    Orvel::String first;
    Orvel::String second;
    InitCaller* initCaller;
  };

  void registerPlugin(const Orvel::String& pluginName, const Orvel::String& loaderText, const Orvel::String& first,
                      const Orvel::String& second, InitCaller* initCaller);
  void unregisterPlugin(InitCaller* initCaller);
  // In registration order.
  const std::vector<Registration>& registrations() const noexcept { return registrations_; }

 private:
  std::vector<Registration> registrations_;
};

}  // namespace Impl

class Loader {
 public:
  Loader(Orvel::String loaderText, VovuAsicUtils::HwTableHolderContext* context);

  const Orvel::String& loaderText() const noexcept { return loaderText_; }
  VovuAsicUtils::HwTableHolderContext* const* context() const noexcept { return &context_; }
  Impl::LoaderImpl& impl() noexcept { return impl_; }
  const Impl::LoaderImpl& impl() const noexcept { return impl_; }

  void initCallerIs(InitCaller* initCaller);  // pushes at the front
  void initCallerDel(InitCaller* initCaller);
  const std::list<LoaderInitCallerWithContext>& initCallers() const noexcept { return initCallers_; }

  // Calls, front to back, every init caller that has not been called yet.
  // Returns how many were called. An exception from a plug-in propagates; the
  // callers after it stay pending.
  std::size_t runInitCallers();

 private:
  Orvel::String loaderText_;
  VovuAsicUtils::HwTableHolderContext* context_;
  std::list<LoaderInitCallerWithContext> initCallers_;
  Impl::LoaderImpl impl_;
};

// The base of plug-in objects: a pointer to itself and the standard init
// caller, which forwards to init().
class PluginBase;

class PluginBaseInitCaller final : public InitCaller {
 public:
  explicit PluginBaseInitCaller(PluginBase* plugin) : plugin_(plugin) {}
  void call(VovuAsicUtils::HwTableHolderContext* context) override;

 private:
  PluginBase* plugin_;
};

class PluginBase {
 public:
  PluginBase() : initCaller_(this), self_(this) {}
  PluginBase(const PluginBase&) = delete;
  PluginBase& operator=(const PluginBase&) = delete;
  virtual ~PluginBase() = default;

  virtual void init(VovuAsicUtils::HwTableHolderContext* context) = 0;
  InitCaller* initCaller() noexcept { return &initCaller_; }
  PluginBase* self() const noexcept { return self_; }

 private:
  PluginBaseInitCaller initCaller_;
  PluginBase* self_;
};

}  // namespace Plugin

namespace VovuAsicUtils::HwTablePlugin {
// The loader table plug-ins register with; its context is HwTableHolderContext::singleton().
Plugin::Loader& DefaultHwTableLoader();
}  // namespace VovuAsicUtils::HwTablePlugin
