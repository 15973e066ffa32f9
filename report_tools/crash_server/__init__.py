"""A local crash server that receives the reporter's first requests and uploads."""
