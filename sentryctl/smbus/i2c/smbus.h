/* SMBus byte-data transfers over the i2c-dev I2C_SMBUS request, for builds without libi2c (the
 * target): the two functions sentryctl uses, with libi2c's names, arguments and results. */
#ifndef FERRO_I2C_SMBUS_H
#define FERRO_I2C_SMBUS_H

#include <linux/i2c.h>
#include <linux/types.h>

/* The register's value, or the negative errno value of a failed transfer. */
__s32 i2c_smbus_read_byte_data(int file, __u8 command);
/* 0, or the negative errno value of a failed transfer. */
__s32 i2c_smbus_write_byte_data(int file, __u8 command, __u8 value);

#endif
