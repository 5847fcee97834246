/* The replacement winusb.dll and cfgmgr32.dll hold no code of their own: every export is
   forwarded to taviksimunit.dll by the module's .def file. The linker needs one object. */
typedef int tavikForwarderOnly;
