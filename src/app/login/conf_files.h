#pragma once
// The property files the shell reads and writes, as paths under the program
// directory (the working directory).
#include "common/paths.h"

#include <string>

namespace quorvane::conf
{

inline std::string path(const char* designPath)
{
    return programPath(designPath).string();
}

inline std::string configFile()
{
    return path("conf\\config.properties");
}
inline std::string loginFile()
{
    return path("conf\\l_c_config_01.properties");
}
inline std::string userConfFile()
{
    return path("conf\\user_conf.properties");
}
inline std::string ipConfigFile()
{
    return path("conf\\ipconfig.properties");
}

} // namespace quorvane::conf
