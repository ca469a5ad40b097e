/* A module whose only content is its "TYPELIB" resources, for LoadTypeLib on modules. */
int typelib_resource_module_marker(void);
__attribute__((visibility("default"))) int typelib_resource_module_marker(void) { return 1; }
