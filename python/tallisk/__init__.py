"""Basket analysis: frequent itemsets, association rules and pair metrics from
market-basket data, computed by a native engine."""

__version__ = "0.1.0"
