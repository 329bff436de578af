# Files of the worklist subsystem, relative to src/.
set(WORKLIST_CORE_SOURCES
  worklist/WorklistQuery.h worklist/WorklistQuery.cpp
)
set(WORKLIST_GUI_SOURCES
  worklist/frmWorklist.h worklist/frmWorklist.cpp
)
