// The reader data module: built in code with the values its stored form holds.
#include "rdr00800/Rdr00800.h"
#include "runtime/odbc_connection.h"

namespace Rdr00800 {

TdtmLeitor* dtmLeitor = nullptr;

void TDataModule::RaiseCreate() {
  if (OnCreate) OnCreate(this);
}

TdtmLeitor::TdtmLeitor() {
  // Texts in Windows-1252, as the host framework shows them.
  msgPadrao.Messages = {
      "KQZR32_N_ENC|Opera\xe7\xe3o bloqueada. O arquivo KQZR32.dll n\xe3o foi encontrado no diret\xf3rio (%s). "
      "Favor verificar o arquivo antes de continuar a opera\xe7\xe3o.",
      "N_POS_KQZR32|Opera\xe7\xe3o bloqueada. N\xe3o foi poss\xedvel carregar o arquivo KQZR32.dll.",
      "N_ENC_CLIENTE.CFG|N\xe3o foi poss\xedvel realizar a descriptografia do c\xf3"
      "digo do consumidor, pois o arquivo (Cliente.Cfg) n\xe3o foi encontrado no diret\xf3rio %s.",
  };
  adcLeitor.LoginPrompt = false;
  adcLeitor.Provider = "MSDAORA.1";
  adcLeitor.BeforeConnect = [this](void* sender) { adcLeitorBeforeConnect(sender); };
  adcLeitor.AfterConnect = [this](void* sender) { adcLeitorAfterConnect(sender); };
  OnCreate = [this](void* sender) { DataModuleCreate(sender); };
  RaiseCreate();
}

// A host that deletes the module itself must not leave the global dangling.
TdtmLeitor::~TdtmLeitor() {
  if (dtmLeitor == this) dtmLeitor = nullptr;
}

void TdtmLeitor::DataModuleCreate(void* sender) { CurrentHostFramework().Trad(static_cast<TDataModule*>(sender)); }

// Asked at every connect so the connection follows the host's current database.
void TdtmLeitor::adcLeitorBeforeConnect(void*) {
  adcLeitor.ConnectionString = detail::WidenCp1252(CurrentHostFramework().GetStringConexLum(""));
}

void TdtmLeitor::adcLeitorAfterConnect(void*) { CurrentHostFramework().SetADODBSession(&adcLeitor); }

}  // namespace Rdr00800
