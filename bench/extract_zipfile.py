"""Python's own extraction, the reference of run-engine.sh: ARCHIVE DIRECTORY."""
import sys
import zipfile

zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])
