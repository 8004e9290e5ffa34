// Saving and loading the parameter block as a text file, through the file dialog.
#pragma once

namespace zurid {

void SendParaToFile();
void ReadParaFromFile();

} // namespace zurid
