// Simulated i2c-dev buses: a reset controller at address 0x10 whose registers, injected faults
// and command log are files under DIR/i2c/BUS/.
#include <errno.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <stdint.h>
#include <sys/stat.h>

#include <atomic>

#include "boardsim_devices.h"
#include "boardsim_state.h"

namespace {

constexpr int FD_MAX = 1024;
constexpr uintptr_t ADDRESS_MAX = 0x7f;
constexpr unsigned long BYTE_MASK = 0xff;

// The controller's registers and command bytes that have an effect here.
constexpr int REG_COMMAND = 0;
constexpr int REG_STATUS = 5;
constexpr int COUNTERS[] = {6, 7, 8, 24};  // watchdog, brown-out, power-on, external resets
constexpr unsigned long STATUS_WDT_ENABLED = 1u << 0;
constexpr unsigned long STATUS_CONSOLE_MODE = 1u << 1;
constexpr unsigned long STATUS_WDT_ACTIVE = 1u << 3;
constexpr unsigned char CMD_CLEAR_COUNTERS = '5';
constexpr unsigned char CMD_CONSOLE_MODE = '6';

// The address each descriptor set with I2C_SLAVE; 0 while it has set none.
std::atomic<int> slave_address[FD_MAX];

bool bus_file(char *out, const char *dir, const char *bus, const char *name, int reg = -1)
{
    return boardsim_i2c_path(out, BOARDSIM_PATH_MAX, dir, bus, name, reg);
}

// The errno value held in the fault file NAME (of register REG), 0 when there is none.
int injected(const char *dir, const char *bus, const char *name, int reg = -1)
{
    char file[BOARDSIM_PATH_MAX];
    if (!bus_file(file, dir, bus, name, reg))
        return ENAMETOOLONG;
    return boardsim_read_errno(file);
}

// Stores VALUE in the file NAME (or register REG of folder NAME), creating the folder.
int store(const char *dir, const char *bus, const char *name, int reg, unsigned long value)
{
    char file[BOARDSIM_PATH_MAX];
    if (!bus_file(file, dir, bus, name, reg))
        return ENAMETOOLONG;
    if (reg >= 0) {
        char folder[BOARDSIM_PATH_MAX];
        if (!bus_file(folder, dir, bus, name) || !boardsim_mkdirs(folder))
            return EIO;
    }
    return boardsim_write_number(file, value) ? 0 : EIO;
}

unsigned long load(const char *dir, const char *bus, int reg)
{
    char file[BOARDSIM_PATH_MAX];
    if (!bus_file(file, dir, bus, BOARDSIM_I2C_REG, reg))
        return 0;
    return boardsim_read_number(file) & BYTE_MASK;
}

// A command byte: logged with its time, then acted on.
int command(const char *dir, const char *bus, unsigned char byte)
{
    static const char HEX[] = "0123456789abcdef";
    char tail[] = " 0x00";
    tail[3] = HEX[byte >> 4];
    tail[4] = HEX[byte & 0xf];
    char file[BOARDSIM_PATH_MAX];
    if (!bus_file(file, dir, bus, BOARDSIM_I2C_COMMAND_LOG) ||
        !boardsim_append_stamp(file, tail))
        return EIO;
    int error = 0;
    if (byte == CMD_CLEAR_COUNTERS) {
        for (int reg : COUNTERS)
            if (error == 0)
                error = store(dir, bus, BOARDSIM_I2C_REG, reg, 0);
    } else if (byte == CMD_CONSOLE_MODE) {
        unsigned long status = load(dir, bus, REG_STATUS);
        status = (status | STATUS_CONSOLE_MODE) & ~(STATUS_WDT_ENABLED | STATUS_WDT_ACTIVE);
        error = store(dir, bus, BOARDSIM_I2C_REG, REG_STATUS, status);
    }
    return error;
}

int transfer(const char *dir, const char *bus, int fd, i2c_smbus_ioctl_data *args)
{
    if (args == nullptr)
        return EFAULT;
    if (args->read_write != I2C_SMBUS_READ && args->read_write != I2C_SMBUS_WRITE)
        return EINVAL;
    // Nothing answers at any other address: the transfer is not acknowledged.
    if (slave_address[fd].load(std::memory_order_relaxed) != BOARDSIM_I2C_ADDRESS)
        return ENXIO;
    if (args->size != I2C_SMBUS_BYTE_DATA)
        return EOPNOTSUPP;
    if (args->data == nullptr)
        return EFAULT;
    int reg = args->command;
    if (args->read_write == I2C_SMBUS_READ) {
        int error = injected(dir, bus, BOARDSIM_I2C_READ_ERROR, reg);
        if (error == 0)
            args->data->byte = static_cast<uint8_t>(load(dir, bus, reg));
        return error;
    }
    int error = injected(dir, bus, BOARDSIM_I2C_WRITE_ERROR, reg);
    if (error != 0)
        return error;
    if (reg == REG_COMMAND)
        return command(dir, bus, args->data->byte);
    return store(dir, bus, BOARDSIM_I2C_REG, reg, args->data->byte);
}

int set_address(const char *dir, const char *bus, int fd, uintptr_t address)
{
    if (address > ADDRESS_MAX)
        return EINVAL;
    if (address != BOARDSIM_I2C_ADDRESS)
        return ENXIO;
    int error = injected(dir, bus, BOARDSIM_I2C_ADDRESS_ERROR);
    if (error == 0)
        slave_address[fd].store(static_cast<int>(address), std::memory_order_relaxed);
    return error;
}

}  // namespace

int boardsim_i2c_open(const char *dir, const char *bus)
{
    char folder[BOARDSIM_PATH_MAX];
    if (!bus_file(folder, dir, bus, nullptr))
        return ENAMETOOLONG;
    struct stat st;
    if (stat(folder, &st) != 0 || !S_ISDIR(st.st_mode))
        return ENOENT;
    return injected(dir, bus, BOARDSIM_I2C_OPEN_ERROR);
}

int boardsim_i2c_ioctl(const char *dir, const char *bus, int fd, unsigned long request, void *arg)
{
    if (fd < 0 || fd >= FD_MAX) {
        errno = EBADF;
        return -1;
    }
    int saved = errno;
    // The set-up requests take their value in place of a pointer.
    uintptr_t value = reinterpret_cast<uintptr_t>(arg);
    int error;
    switch (request) {
    case I2C_RETRIES:
        error = store(dir, bus, BOARDSIM_I2C_RETRIES, -1, value);
        break;
    case I2C_TIMEOUT:
        error = store(dir, bus, BOARDSIM_I2C_TIMEOUT, -1, value);
        break;
    case I2C_SLAVE:
    case I2C_SLAVE_FORCE:
        error = set_address(dir, bus, fd, value);
        break;
    case I2C_FUNCS:
        if (arg == nullptr) {
            error = EFAULT;
        } else {
            *static_cast<unsigned long *>(arg) = I2C_FUNC_SMBUS_BYTE_DATA;
            error = 0;
        }
        break;
    case I2C_SMBUS:
        error = transfer(dir, bus, fd, static_cast<i2c_smbus_ioctl_data *>(arg));
        break;
    default:
        error = ENOTTY;
        break;
    }
    if (error != 0) {
        errno = error;
        return -1;
    }
    errno = saved;
    return 0;
}

void boardsim_i2c_close(int fd)
{
    if (fd >= 0 && fd < FD_MAX)
        slave_address[fd].store(0, std::memory_order_relaxed);
}
