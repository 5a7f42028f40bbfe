"""Stand-in for the host application package that drives vantrel_app_plugin.

The host keeps the layout it was started with (``gui_config``), the component
keys its window knows (``harness.COMPONENT_KEYS``) and a desk test host
(``harness.TestbenchHost``) that drives a page engine the way its window does.
"""
