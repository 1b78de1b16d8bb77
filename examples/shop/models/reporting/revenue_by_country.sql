-- On the reporting target (SQLite), built from a warehouse model: the upstream model is copied
-- into the cache, the query runs in DuckDB and the result is loaded into SQLite.
{{ config(target='reporting') }}
select
    country,
    count(*) as customers,
    sum(orders) as orders,
    sum(revenue) as revenue
from {{ ref('customer_revenue') }}
group by country
