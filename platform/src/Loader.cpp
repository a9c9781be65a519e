#include "Plugin/Loader.h"

#include <algorithm>

#include "VovuAsicUtils/HwTableHolderContext.h"

namespace Plugin {

void PluginBaseInitCaller::call(VovuAsicUtils::HwTableHolderContext* context) { plugin_->init(context); }

namespace Impl {

void LoaderImpl::registerPlugin(const Orvel::String& pluginName, const Orvel::String& loaderText,
                                const Orvel::String& first, const Orvel::String& second, InitCaller* initCaller) {
  registrations_.push_back({pluginName, loaderText, first, second, initCaller});
}

void LoaderImpl::unregisterPlugin(InitCaller* initCaller) {
  std::erase_if(registrations_, [&](const Registration& r) { return r.initCaller == initCaller; });
}

}  // namespace Impl

Loader::Loader(Orvel::String loaderText, VovuAsicUtils::HwTableHolderContext* context)
    : loaderText_(std::move(loaderText)), context_(context) {}

void Loader::initCallerIs(InitCaller* initCaller) { initCallers_.emplace_front(&context_, initCaller); }

void Loader::initCallerDel(InitCaller* initCaller) {
  initCallers_.remove_if([&](const LoaderInitCallerWithContext& c) { return c.initCaller() == initCaller; });
}

std::size_t Loader::runInitCallers() {
  std::size_t called = 0;
  for (LoaderInitCallerWithContext& caller : initCallers_) {
    if (caller.called()) continue;
    caller.call();
    caller.calledIs(true);
    ++called;
  }
  return called;
}

}  // namespace Plugin

namespace VovuAsicUtils::HwTablePlugin {

Plugin::Loader& DefaultHwTableLoader() {
  static Plugin::Loader loader("HwTableLoader", HwTableHolderContext::singleton());
  return loader;
}

}  // namespace VovuAsicUtils::HwTablePlugin
