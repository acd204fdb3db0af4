#include "base/RunnableEx.h"

#include <Poco/Exception.h>
#include <Poco/Logger.h>

#include <exception>

namespace Patcher {

RunnableEx::RunnableEx(const std::string& name) : name_(name) {}

RunnableEx::~RunnableEx() { stop(); }

void RunnableEx::start() {
    thread_.setName(name_);
    thread_.start(*this);
    started_ = true;
}

void RunnableEx::stop() {
    if (started_) {
        thread_.join();
        started_ = false;
    }
}

void RunnableEx::run() {
    Poco::Logger& root = Poco::Logger::root();
    try {
        body();
    } catch (const Poco::Exception& e) {
        root.error(e.displayText());
    } catch (const std::exception& e) {
        root.error(std::string("std::exception: ") + e.what());
    } catch (...) {
        root.error("unknown exception. investigate!!!");
    }
}

} // namespace Patcher
