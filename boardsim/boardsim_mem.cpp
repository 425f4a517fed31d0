// Simulated physical memory: /dev/mem as a sparse file, so that any window can be mapped.
#include <string.h>

#include "boardsim_devices.h"
#include "boardsim_state.h"

bool boardsim_mem_file(const char *dir, char *out, size_t size)
{
    static const char NAME[] = "/mem";
    size_t len = strlen(dir);
    if (len + sizeof NAME > size)
        return false;
    memcpy(out, dir, len);
    memcpy(out + len, NAME, sizeof NAME);
    return true;
}

int boardsim_mem_open(const char *dir)
{
    return boardsim_fault(dir, "mem.open");
}

int boardsim_mem_mmap(const char *dir)
{
    return boardsim_fault(dir, "mem.mmap");
}
