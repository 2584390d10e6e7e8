// A host that only maps the library with dlopen and calls its C entries.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "rdr00800/rdr00800.h"
#include "support/pty_reader.h"

namespace {

class DlopenHost : public ::testing::Test {
 protected:
  void SetUp() override {
    descriptorsBefore_ = rdrtest::OpenDescriptorCount();
    library_ = dlopen(RDR00800_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library_, nullptr) << dlerror();
  }
  void TearDown() override {
    if (library_) dlclose(library_);
  }
  template <class Function>
  Function* Entry(const char* name) {
    void* address = dlsym(library_, name);
    EXPECT_NE(address, nullptr) << name;
    return reinterpret_cast<Function*>(address);
  }
  std::string Text(char* text) {
    std::string copy = text ? text : "(null)";
    Entry<void(char*)>("Rdr00800_FreeText")(text);
    return copy;
  }

  void* library_ = nullptr;
  int descriptorsBefore_ = 0;
};

}  // namespace

TEST_F(DlopenHost, FindsTheTablesFilledWithoutInitialize) {
  auto porta = Entry<char*(int32_t)>("Rdr00800_Porta");
  auto velocidade = Entry<char*(int32_t)>("Rdr00800_Velocidade");
  EXPECT_EQ(Text(porta(0)), "");
  EXPECT_EQ(Text(porta(1)), "COM1");
  EXPECT_EQ(Text(porta(13)), "LPT1");
  EXPECT_EQ(Text(porta(14)), "") << "out of range";
  EXPECT_EQ(Text(porta(-1)), "");
  EXPECT_EQ(Text(velocidade(0)), "110");
  EXPECT_EQ(Text(velocidade(12)), "921600");
  EXPECT_EQ(Text(velocidade(13)), "");
}

TEST_F(DlopenHost, LoadOpensNothingAndSettingsStartAtZero) {
  EXPECT_EQ(rdrtest::OpenDescriptorCount(), descriptorsBefore_);
  auto getSetting = Entry<int32_t(int32_t)>("Rdr00800_GetSetting");
  for (int32_t setting = RDR00800_ID_PORTA_OPT; setting <= RDR00800_ID_TIPO_PROX; ++setting)
    EXPECT_EQ(getSetting(setting), 0);
  EXPECT_EQ(Text(Entry<char*()>("Rdr00800_GetIdCriptoCons")()), "");
  EXPECT_EQ(Entry<int()>("Rdr00800_DigVerifOK")(), 0);
}

TEST_F(DlopenHost, InitializeAndFinalizeRunTheUnitTable) {
  auto table = Entry<const Rdr00800PackageInfoTable*()>("GetPackageInfoTable")();
  ASSERT_NE(table, nullptr);
  EXPECT_GE(table->Count, 1);
  auto initialize = Entry<void()>("Initialize");
  auto finalize = Entry<void()>("Finalize");
  auto porta = Entry<char*(int32_t)>("Rdr00800_Porta");
  initialize();
  Entry<void(const char*)>("Rdr00800_SetIdCriptoCons")("abc");
  finalize();
  EXPECT_EQ(Text(porta(1)), "") << "finalization empties the tables";
  EXPECT_EQ(Text(Entry<char*()>("Rdr00800_GetIdCriptoCons")()), "");
  initialize();
  EXPECT_EQ(Text(porta(1)), "COM1") << "a new load fills them again";
  finalize();
  finalize();  // one unload too many cleans nothing twice and does not crash
  EXPECT_EQ(Text(porta(1)), "");
}

TEST_F(DlopenHost, ExportsOnlyTheInterface) {
  // Internal helpers stay hidden: hosts see the interface and nothing else.
  EXPECT_EQ(dlsym(library_, "_ZN8Rdr008006detail8CopyTextERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE"),
            nullptr);
  EXPECT_NE(dlsym(library_, "LeitorProximidade"), nullptr);
  EXPECT_NE(dlsym(library_, "LeitorDescriptoDll"), nullptr);
}
