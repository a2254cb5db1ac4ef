// Each slot removes exactly its argument words from the stack (32-bit stdcall).
// Measured by calling through a routine that notes the stack pointer before
// pushing the arguments and after the slot returns.
#include <gtest/gtest.h>

#include <cstring>

#include "LumoHost.h"
#include "ScriptedUnit.h"

#if defined(__i386__)
extern "C" int __cdecl lumo_call_measure(void* fn, const uint32_t* args, int count, int pops_fpu);
// Returns the number of bytes the callee removed. ebx, esi and edi are saved
// by every stdcall callee, so the routine keeps its own state in them.
asm(R"(
    .text
    .globl _lumo_call_measure
_lumo_call_measure:
    push %ebp
    mov %esp, %ebp
    push %ebx
    push %esi
    push %edi
    mov 12(%ebp), %esi
    mov 16(%ebp), %ecx
    mov %esp, %edi
1:  test %ecx, %ecx
    jz 2f
    dec %ecx
    pushl (%esi,%ecx,4)
    jmp 1b
2:  call *8(%ebp)
    cmpl $0, 20(%ebp)
    je 3f
    fstp %st(0)
3:  mov %edi, %eax
    sub %esp, %eax
    mov 16(%ebp), %ecx
    shl $2, %ecx
    sub %eax, %ecx
    mov %ecx, %eax
    mov %edi, %esp
    pop %edi
    pop %esi
    pop %ebx
    pop %ebp
    ret
)");

using namespace lumo_test;

TEST(StackWords, EverySlotRemovesExactlyItsWords) {
  ScriptedUnit unit;
  DriverHandle d = MakeDriver3(unit.unit(), 1, true);
  const uint32_t self = reinterpret_cast<uint32_t>(d.get());
  unsigned char name[64];
  unsigned char block[16];
  double four[4];
  uint16_t pair[2];
  struct Case {
    int slot;
    int words;
    bool fpu;
    uint32_t args[3];
  } cases[] = {
      {lumo::kSlotGetDriverName, 2, false, {reinterpret_cast<uint32_t>(name), self}},
      {lumo::kSlotSetLinkState, 2, false, {self, 1}},
      {lumo::kSlotGetLinkState, 1, false, {self}},
      {lumo::kSlotSetupLink, 2, false, {self, 0}},
      {lumo::kSlotReserved6, 1, false, {self}},
      {lumo::kSlotGetZeroPair, 3, false, {self, 0, reinterpret_cast<uint32_t>(pair)}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(lumo_call_measure(lumo::SlotEntry(d.get(), c.slot), c.args, c.words, c.fpu),
              4 * c.words)
        << "slot " << c.slot;
  }
  // Request slots, each answered by a reply they accept.
  struct RequestCase {
    int slot;
    int words;
    bool fpu;
    uint32_t args[3];
    std::string reply;
  } requests[] = {
      {lumo::kSlotReadConfig, 2, false, {self, reinterpret_cast<uint32_t>(block)}, Frame("00112233445566")},
      {lumo::kSlotReadState, 1, false, {self}, Frame("30")},
      {lumo::kSlotQueryValue4, 2, true, {self, 1}, Frame("00000000FA0500")},
      {lumo::kSlotQuerySignedValue6, 3, false, {self, 1, reinterpret_cast<uint32_t>(four)}, Frame("00000000FA0500")},
      {lumo::kSlotQueryRoundedValue5, 2, false, {self, 1}, Frame("00000000FA0500")},
      {lumo::kSlotQueryScaledValue8, 2, true, {self, 1}, Frame("00000000FA0500")},
      {lumo::kSlotQueryScaledValue16, 2, true, {self, 1}, Frame("0000000000FA0500")},
  };
  for (const auto& c : requests) {
    unit.QueueReply(c.reply);
    EXPECT_EQ(lumo_call_measure(lumo::SlotEntry(d.get(), c.slot), c.args, c.words, c.fpu),
              4 * c.words)
        << "slot " << c.slot;
  }
  // Slot 15 and the release entry, on a second driver object.
  lumo::Driver* other = LumoHost::Get().get_silo_ex3()(nullptr, 1, 1);
  const uint32_t other_self = reinterpret_cast<uint32_t>(other);
  const uint32_t menu_args[3] = {other_self, 0, 0};
  EXPECT_EQ(lumo_call_measure(lumo::SlotEntry(other, lumo::kSlotAddMenuItems), menu_args, 3, 0), 12);
  EXPECT_EQ(lumo_call_measure(lumo::SlotEntry(other, lumo::kSlotRelease), &other_self, 1, 0), 4);
}

TEST(StackWords, SlotTwoTakesTheResultBufferFirst) {
  DriverHandle d = MakeDriver3(nullptr, 1, true);
  unsigned char name[40] = {};
  const uint32_t args[2] = {reinterpret_cast<uint32_t>(name), reinterpret_cast<uint32_t>(d.get())};
  lumo_call_measure(lumo::SlotEntry(d.get(), lumo::kSlotGetDriverName), args, 2, 0);
  EXPECT_EQ(name[0], 32);
}
#else
TEST(StackWords, OnlyMeasurableOn32BitX86) {
  GTEST_SKIP() << "stdcall argument words exist only in the 32-bit build; "
                  "tests/abi/check_abi.py checks them in build/dist/Lumo.dll";
}
#endif
