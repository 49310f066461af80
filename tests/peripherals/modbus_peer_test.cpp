// The library's Modbus RTU against an implementation that is not ours: libmodbus serves the heater
// registers as slave 1 on a pseudo-terminal that stands where the simulator's heater controllers
// were, and every request goes through the whole stack (instrument object, command channel, USB
// back end, simulated controller board, terminal).
#include <gtest/gtest.h>

#ifdef ZYL_HAVE_LIBMODBUS
#include <modbus.h>
#include <poll.h>

#include <atomic>
#include <bit>
#include <memory>
#include <mutex>
#include <thread>

#include "zyl/FlashMemory.h"
#include "zyl/ZylInterface.h"
#include "zyl/sim/SimBackend.h"

namespace {

class ModbusPeerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    instrument = std::make_shared<zyl::sim::Instrument>();
    const std::string terminal = instrument->bridgeSerialPort(6);
    ASSERT_FALSE(terminal.empty());
    ctx = modbus_new_rtu(terminal.c_str(), 19200, 'N', 8, 1);
    ASSERT_NE(ctx, nullptr);
    ASSERT_EQ(modbus_set_slave(ctx, 1), 0);
    ASSERT_EQ(modbus_connect(ctx), 0) << modbus_strerror(errno);
    registers = modbus_mapping_new(0, 0, 2200, 0);
    ASSERT_NE(registers, nullptr);
    server = std::thread([this] { serve(); });
    zyl::usb::useBackend(std::make_shared<zyl::sim::SimBackend>(instrument));
    z = std::make_unique<ZylInterface>();
    z->flashRecord->set_capillaryHeater(L"Watlow PM3 Series");
    z->heaterReadbacksInStatus = false;  // the capillary readback comes from its controller
  }
  void TearDown() override {
    z.reset();
    zyl::usb::useBackend(nullptr);
    stop = true;
    if (server.joinable()) server.join();
    if (registers) modbus_mapping_free(registers);
    if (ctx) modbus_close(ctx), modbus_free(ctx);
  }
  void serve() {
    uint8_t request[MODBUS_RTU_MAX_ADU_LENGTH];
    while (!stop) {
      pollfd p{modbus_get_socket(ctx), POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      const int n = modbus_receive(ctx, request);  // 0: addressed to another slave
      std::lock_guard lock(mutex);
      if (n > 0 && modbus_reply(ctx, request, n, registers) > 0) ++answered;
    }
  }
  // The 32-bit value of two registers, the lower address holding the low word.
  uint32_t pair(int reg) {
    std::lock_guard lock(mutex);
    return uint32_t(registers->tab_registers[reg + 1]) << 16 | registers->tab_registers[reg];
  }
  void setPair(int reg, uint32_t value) {
    std::lock_guard lock(mutex);
    registers->tab_registers[reg] = uint16_t(value);
    registers->tab_registers[reg + 1] = uint16_t(value >> 16);
  }

  std::shared_ptr<zyl::sim::Instrument> instrument;
  modbus_t* ctx = nullptr;
  modbus_mapping_t* registers = nullptr;
  std::mutex mutex;
  std::atomic<bool> stop{false};
  std::atomic<int> answered{0};
  std::thread server;
  std::unique_ptr<ZylInterface> z;
};

TEST_F(ModbusPeerTest, HeaterRegistersReadAndWrittenAndExceptionsFailReadsOnly) {
  ASSERT_EQ(z->SetCapillaryHeaterOn(1), 0u);
  EXPECT_EQ(pair(1880), 10u);
  ASSERT_EQ(z->SetCapillaryHeaterTemp(250.5f), 0u);
  EXPECT_EQ(pair(2160), std::bit_cast<uint32_t>(250.5f));
  setPair(402, std::bit_cast<uint32_t>(187.25f));
  EXPECT_EQ(z->GetCapillaryHeaterTemp(), 187.25f);

  // Every 32-bit value survives the round trip, high bits and zero words included.
  for (const uint32_t value : {0x41A00000u, 0xFFFF0001u, 0u, 0x8000FFFFu}) {
    ASSERT_EQ(z->ModbusWriteRTU(6, 1, 2160, value), 0u);
    EXPECT_EQ(pair(2160), value);
    unsigned int back = 1;
    ASSERT_EQ(z->ModbusReadRTU(6, 1, 2160, &back), 0u);
    EXPECT_EQ(back, value);
  }
  // Register 4000 is outside the server's map: it answers with an exception, which carries no
  // register words (the read fails, the value stays) and which a write does not examine.
  unsigned int value = 0x1234;
  EXPECT_EQ(z->ModbusReadRTU(6, 1, 4000, &value), 2u);
  EXPECT_EQ(value, 0x1234u);
  EXPECT_EQ(z->ModbusWriteRTU(6, 1, 4000, 7), 0u);
  EXPECT_EQ(answered, 13);
  // The line is still in step: the next request is answered.
  EXPECT_EQ(z->ModbusReadRTU(6, 1, 2160, &value), 0u);
  EXPECT_EQ(value, 0x8000FFFFu);
}

}  // namespace

#else
TEST(ModbusPeerTest, NeedsLibmodbus) {
  GTEST_SKIP() << "libmodbus was not found when the build was configured";
}
#endif
