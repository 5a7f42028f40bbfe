"""Plugin entry modules, the plugin base type and the plugin registry."""
