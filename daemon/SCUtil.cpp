#include "SCUtil.h"

std::unique_ptr<SCUtil> SCUtil::init()
{
    return std::unique_ptr<SCUtil>(new SCUtil());
}

SCUtil::~SCUtil() = default;
