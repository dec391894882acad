#pragma once

#include <QString>

#include <functional>
#include <stdexcept>

// What the call threw as its reason; empty when it threw nothing.
inline QString ErrorOf(const std::function<void()>& call)
{
    try {
        call();
    } catch (const std::runtime_error& error) {
        return QString::fromUtf8(error.what());
    }
    return {};
}
