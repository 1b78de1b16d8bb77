-- Two remote sources on two engines, joined in DuckDB.
select
    o.order_id,
    c.name as customer_name,
    c.country,
    o.status,
    o.amount
from {{ source('sales', 'orders') }} as o
join {{ source('crm', 'customers') }} as c on c.id = o.customer_id
