// Uses the installed package the way a host would.
#include <rdr00800/Rdr00800.h>
#include <rdr00800/rdr00800.h>

#include <iostream>

int main() {
  Initialize();
  std::cout << Rdr00800::Portas[1] << ' ' << Rdr00800::Velocidades[5] << '\n';
  const bool nothingRead = Rdr00800::GetProximidadeReaderValue("2", "", 9600).empty() &&
                           Rdr00800::DecodeCredentials("00BDD93740").front().Form("code") == "12345678";
  Finalize();
  return nothingRead ? 0 : 1;
}
