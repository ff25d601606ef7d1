// Placeholder until the catalogue lands.
#include "library/SongCatalogue.h"
#include "app/Server.h"
SongCatalogue::SongCatalogue(Server &server) : mServer(server) {}
SongCatalogue::~SongCatalogue() = default;
void SongCatalogue::LoadMP3List() {}
void SongCatalogue::cmdReload_Click() {}
bool SongCatalogue::GetMP3File() { return false; }
qint32 SongCatalogue::SongCount() const { return 0; }
const std::vector<QByteArray> &SongCatalogue::SongFiles() const { static std::vector<QByteArray> none; return none; }
const QByteArray &SongCatalogue::mFilelist() const { static QByteArray none; return none; }
const QByteArray &SongCatalogue::rootFolder() const { static QByteArray none; return none; }
bool SongCatalogue::scanning() const { return false; }
CFileDirHelper *SongCatalogue::FileHelper() const { return nullptr; }
