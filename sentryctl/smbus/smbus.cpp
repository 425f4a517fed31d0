// SMBus byte-data transfers over the i2c-dev I2C_SMBUS request (the target has no libi2c).
#include <errno.h>
#include <linux/i2c-dev.h>
#include <sys/ioctl.h>

extern "C" {
#include <i2c/smbus.h>
}

namespace {

__s32 smbus_access(int file, char read_write, __u8 command, union i2c_smbus_data *data)
{
    i2c_smbus_ioctl_data args{};
    args.read_write = static_cast<__u8>(read_write);
    args.command = command;
    args.size = I2C_SMBUS_BYTE_DATA;
    args.data = data;
    // errno stays set for the caller's perror.
    return ioctl(file, I2C_SMBUS, &args) == -1 ? -errno : 0;
}

} // namespace

extern "C" __s32 i2c_smbus_read_byte_data(int file, __u8 command)
{
    union i2c_smbus_data data;
    __s32 err = smbus_access(file, I2C_SMBUS_READ, command, &data);
    return err < 0 ? err : data.byte;
}

extern "C" __s32 i2c_smbus_write_byte_data(int file, __u8 command, __u8 value)
{
    union i2c_smbus_data data;
    data.byte = value;
    return smbus_access(file, I2C_SMBUS_WRITE, command, &data);
}
