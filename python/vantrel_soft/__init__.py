"""Stand-in for the host application package that drives vantrel_app_plugin."""
