#include "base/thread_name.h"

#include <pthread.h>

#include <cstring>

namespace qrv {

void name_this_thread(const char* name)
{
    char cut[16] = {};
    std::strncpy(cut, name, sizeof cut - 1);
    pthread_setname_np(pthread_self(), cut);
}

}  // namespace qrv
