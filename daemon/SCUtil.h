#pragma once

#include <memory>

// The daemon's connection to the dynamic store.
class SCUtil {
public:
    static std::unique_ptr<SCUtil> init();
    ~SCUtil();

    SCUtil(const SCUtil&) = delete;
    SCUtil& operator=(const SCUtil&) = delete;

private:
    SCUtil() = default;
};
