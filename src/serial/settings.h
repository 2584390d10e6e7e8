// The unit's text state: the port and speed tables and IdCriptoCons.
// Called by the unit's initialization and finalization on the main thread.
#pragma once

namespace Rdr00800::detail {

// Puts the constant texts back into Portas and Velocidades.
void FillTables();
// Empties Velocidades, then Portas, then IdCriptoCons.
void ReleaseUnitTexts();

}  // namespace Rdr00800::detail
