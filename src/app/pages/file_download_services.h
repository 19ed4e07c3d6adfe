#pragma once
// What the file download page needs besides the shell's services: the test
// engine's settings and the results path. Every member left empty takes the
// program's real one.
#include "measure/file_download.h"
#include "results/service_time.h"
#include "results/upload.h"

namespace quorvane
{

struct FileDownloadServices {
    // The engine's settings; the page sets their installDir to the program
    // directory when it is left at ".".
    measure::FileDownloadSettings engine;
    // Used only when the page packs and uploads on its own (no shared
    // shipper): null means SFTP with host keys remembered in conf/known_hosts.
    TransportFactory transport;
    // The service's clock for record times; null: the HEAD request to the
    // portal.
    HeadDateFunction head;
};

} // namespace quorvane
