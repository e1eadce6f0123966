"""Python host of the pysource analyzer."""
