// Program entry of Kelvane.
#include <mysql.h>

#include "app/cli.h"

namespace {

// Releases the client library's global state after everything that used it is gone, so leak
// checkers see a clean exit.
struct MysqlLibraryGuard {
  MysqlLibraryGuard() = default;
  MysqlLibraryGuard(const MysqlLibraryGuard&) = delete;
  MysqlLibraryGuard& operator=(const MysqlLibraryGuard&) = delete;

  ~MysqlLibraryGuard() { mysql_library_end(); }
};

}  // namespace

int main(int argc, char** argv) {
  MysqlLibraryGuard guard;
  return app::Main(argc, argv);
}
