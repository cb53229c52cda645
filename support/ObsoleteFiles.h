#pragma once
// Applies the server's deletion list "updater/delete_config.txt" once per time
// stamp, remembering what was done in "updater/file_delete_record.txt".

void deleteObsoleteFiles();
