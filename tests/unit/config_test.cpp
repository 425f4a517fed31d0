// Configuration file reading and the key table.
#include "config.h"

#include <gtest/gtest.h>

#include "harness.h"
#include "log.h"

namespace {

daemon_config read(const std::string &text)
{
    harness::TempDir dir;
    harness::write_file(dir.file("conf"), text);
    daemon_config cfg;
    read_config(&cfg, dir.file("conf").c_str());
    return cfg;
}

struct Config : ::testing::Test {
    void SetUp() override
    {
        log_level = 0;
        log_to_syslog = 0;
    }
};

TEST_F(Config, DefaultsAreTheDocumentedOnes)
{
    daemon_config cfg;
    EXPECT_EQ(cfg.max_clients, 32);
    EXPECT_STREQ(cfg.device, "/dev/ttyS0");
    EXPECT_STREQ(cfg.device2, "");
    EXPECT_EQ(cfg.baudrate, 9600);
    EXPECT_EQ(cfg.parity, 'n');
    EXPECT_EQ(cfg.databits, 8);
    EXPECT_EQ(cfg.tx_timeout, 5);
    EXPECT_EQ(cfg.tx_bufsize, 300);
    EXPECT_EQ(cfg.keepalive_timeout, 60);
    EXPECT_EQ(cfg.port, 6363);
    EXPECT_EQ(cfg.do_leds, 1);
    EXPECT_STREQ(cfg.stats_file, "/var/ferrod2.stats");
}

TEST_F(Config, QuotedUnquotedAndUnterminatedValues)
{
    auto cfg = read("ferrod_port=\"7001\"\n"
                    "ferrod_baudrate=19200\n"
                    "ferrod_address=\"host.example\n"
                    "ferrod_routers=10.0.0.1 10.0.0.2\r\n"
                    "ferrod_tx_timeout=\"20\"  trailing words\n");
    EXPECT_EQ(cfg.port, 7001);
    EXPECT_EQ(cfg.baudrate, 19200) << "an unquoted value keeps its first character";
    EXPECT_EQ(cfg.address, "host.example") << "no line feed kept without a closing quote";
    EXPECT_EQ(cfg.routers, "10.0.0.1 10.0.0.2") << "nor a carriage return";
    EXPECT_EQ(cfg.tx_timeout, 20);
}

TEST_F(Config, LinesThatMatchNoKey)
{
    auto cfg = read("# ferrod_port=\"1\"\n"
                    "#ferrod_port=\"2\"\n"
                    " ferrod_port=\"3\"\n"
                    "ferrod_port =\"4\"\n"
                    "FERROD_PORT=\"5\"\n"
                    "no equals sign here\n"
                    "\n"
                    "ferrod_mode=\n");
    EXPECT_EQ(cfg.port, 6363);
    EXPECT_EQ(cfg.mode, 0) << "empty value converts to 0";
}

TEST_F(Config, NumbersConvertLikeAtoi)
{
    daemon_config cfg;
    handle_option(&cfg, "ferrod_port", "  -12abc");
    EXPECT_EQ(cfg.port, -12);
    handle_option(&cfg, "ferrod_port", "x1");
    EXPECT_EQ(cfg.port, 0);
    handle_option(&cfg, "ferrod_port", "+99999999999999999999");
    EXPECT_EQ(cfg.port, 2147483647) << "saturates instead of overflowing";
    handle_option(&cfg, "ferrod_port", "-99999999999999999999");
    EXPECT_EQ(cfg.port, -2147483647 - 1);
}

TEST_F(Config, MaxClientsIsLimitedTo32)
{
    daemon_config cfg;
    handle_option(&cfg, "ferrod_max_clients", "100");
    EXPECT_EQ(cfg.max_clients, 32);
    handle_option(&cfg, "ferrod_max_clients", "33");
    EXPECT_EQ(cfg.max_clients, 32);
    handle_option(&cfg, "ferrod_max_clients", "0");
    EXPECT_EQ(cfg.max_clients, 0);
    handle_option(&cfg, "ferrod_max_clients", "-4");
    EXPECT_EQ(cfg.max_clients, -4);
}

TEST_F(Config, KeepaliveNamesShareOneFlagLastOneWins)
{
    auto off = read("ferrod_keepalive=\"1\"\nferrod_keepalive_enabled=\"0\"\n");
    EXPECT_EQ(off.keepalive_enabled, 0);
    auto on = read("ferrod_keepalive_enabled=\"0\"\nferrod_keepalive=\"1\"\n");
    EXPECT_EQ(on.keepalive_enabled, 1);
}

TEST_F(Config, ParityTakesTheFirstCharacter)
{
    EXPECT_EQ(read("ferrod_parity=\"even\"\n").parity, 'e');
    EXPECT_EQ(read("ferrod_parity=\"odd\"\n").parity, 'o');
    EXPECT_EQ(read("ferrod_parity=\"\"\n").parity, '\0');
}

TEST_F(Config, EveryKeyReachesItsField)
{
    auto cfg = read("ferrod_mode=\"1\"\nferrod_port=\"2\"\nferrod_max_clients=\"3\"\n"
                    "ferrod_drop_oldest=\"4\"\nferrod_address=\"a\"\nferrod_routers=\"r\"\n"
                    "ferrod_baudrate=\"5\"\nferrod_databits=\"6\"\nferrod_stopbits=\"7\"\n"
                    "ferrod_flow=\"8\"\nferrod_tx_timeout=\"9\"\nferrod_tx_bufsize=\"10\"\n"
                    "ferrod_do_leds=\"11\"\nferrod_keepalive_timeout=\"12\"\n"
                    "ferrod_inactivity_enabled=\"13\"\nferrod_inactivity_timeout=\"14\"\n"
                    "ferrod_ip_filter_enabled=\"15\"\nferrod_filter_address_0=\"f0\"\n"
                    "ferrod_filter_address_1=\"f1\"\nferrod_filter_address_2=\"f2\"\n"
                    "ferrod_dcd_connection_control=\"16\"\nferrod_keepalive_enabled=\"17\"\n"
                    "ferrod_address=\"b\"\n");
    EXPECT_EQ(cfg.mode, 1);
    EXPECT_EQ(cfg.port, 2);
    EXPECT_EQ(cfg.max_clients, 3);
    EXPECT_EQ(cfg.drop_oldest, 4);
    EXPECT_EQ(cfg.address, "b") << "a repeated key replaces the earlier value";
    EXPECT_EQ(cfg.routers, "r");
    EXPECT_EQ(cfg.baudrate, 5);
    EXPECT_EQ(cfg.databits, 6);
    EXPECT_EQ(cfg.stopbits, 7);
    EXPECT_EQ(cfg.flow, 8);
    EXPECT_EQ(cfg.tx_timeout, 9);
    EXPECT_EQ(cfg.tx_bufsize, 10);
    EXPECT_EQ(cfg.do_leds, 11);
    EXPECT_EQ(cfg.keepalive_timeout, 12);
    EXPECT_EQ(cfg.inactivity_enabled, 13);
    EXPECT_EQ(cfg.inactivity_timeout, 14);
    EXPECT_EQ(cfg.ip_filter_enabled, 15);
    EXPECT_EQ(cfg.filter_address[0], "f0");
    EXPECT_EQ(cfg.filter_address[1], "f1");
    EXPECT_EQ(cfg.filter_address[2], "f2");
    EXPECT_EQ(cfg.dcd_connection_control, 16);
    EXPECT_EQ(cfg.keepalive_enabled, 17);
}

TEST_F(Config, LongLinesAreReadInPieces)
{
    // 255 characters fill the line buffer; the rest of the line is read as a line of its own.
    auto cfg2 = read(std::string(255, '#') + "ferrod_port=\"78\"\n");
    EXPECT_EQ(cfg2.port, 78);
}

TEST_F(Config, FieldCopiesAreCutToFit)
{
    char dev[16];
    copy_field(dev, "/dev/a-very-long-device-name");
    EXPECT_STREQ(dev, "/dev/a-very-lon");
}

} // namespace
